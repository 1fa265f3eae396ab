/* swap_race: makes two paths swap places as fast as the kernel allows, the way an unprivileged
 * user who can write in a watched tree would try to lead a privileged scan or restore out of it.
 *
 *   swap_race [--uid UID] [--gid GID] [--relink TARGET] [--away] [--plant PREFIX]
 *             PATH_A PATH_B SECONDS
 *
 * PATH_A and PATH_B (typically a real folder inside the tree and a symbolic link to a folder
 * outside it) are exchanged atomically with renameat2(RENAME_EXCHANGE) in a tight loop, so at
 * any moment each name is one or the other. The loop ends after SECONDS, or on SIGTERM/SIGINT.
 *
 * --uid/--gid drop to that user and group first (root only), so the racer has no more rights
 * than the attacker it stands for.
 * --relink TARGET: the program under test may move the link away (a link is a created file to
 * it); when an exchange fails because one of the two names is gone, a new symbolic link to
 * TARGET is made under the missing name and the loop goes on.
 *
 * --away: PATH_A is renamed to PATH_B (which must not exist) and back, over and over, so PATH_A
 * is now and then missing, as a folder moved away and back while a walk is inside its parent.
 *
 * --plant PREFIX: PATH_A is a folder and PATH_B a file name of the racer's own on the same file
 * system. Every entry of PATH_A whose name starts with PREFIX (another program's temporary file)
 * and not the racer's own is replaced by a file written at PATH_B, renamed over it; each
 * replacement counts as a swap, and "started" is written as soon as the loop is on.
 *
 * After the first successful exchange "started" is written to standard output (so a test can
 * wait for the race to be on); at the end "swaps N relinks N" is written. Exit status: 0 when at
 * least one exchange happened, 1 when none did, 2 on bad usage or a failed privilege drop. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

static volatile sig_atomic_t stop_requested = 0;

static void on_stop(int sig) {
    (void)sig;
    stop_requested = 1;
}

static int exchange(const char* a, const char* b) {
    return (int)syscall(SYS_renameat2, AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE);
}

/* The racer's own file, written at `own` and renamed over every entry of `folder` whose name
 * starts with `prefix`; returns how many were replaced. */
static unsigned long long plant(const char* folder, const char* prefix, const char* own) {
    static const char kPlanted[] = "planted by the racer\n";
    unsigned long long planted = 0;
    DIR* dir = opendir(folder);
    if (!dir) return 0;
    for (struct dirent* e; (e = readdir(dir)) != NULL;) {
        if (strncmp(e->d_name, prefix, strlen(prefix)) != 0) continue;
        struct stat st;
        if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            st.st_uid == geteuid()) {
            continue;  // gone, or one planted already
        }
        int fd = open(own, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) continue;
        const ssize_t written = write(fd, kPlanted, sizeof kPlanted - 1);
        close(fd);
        char target[4096];
        if (written < 0 ||
            snprintf(target, sizeof target, "%s/%s", folder, e->d_name) >= (int)sizeof target) {
            continue;
        }
        if (rename(own, target) == 0) ++planted;
    }
    closedir(dir);
    return planted;
}

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int parse_id(const char* text, long* out) {
    char* end = NULL;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0) return 0;
    *out = v;
    return 1;
}

static int usage(void) {
    fprintf(stderr,
            "usage: swap_race [--uid UID] [--gid GID] [--relink TARGET] [--away] [--plant PREFIX] "
            "PATH_A PATH_B SECONDS\n");
    return 2;
}

int main(int argc, char** argv) {
    long uid = -1, gid = -1;
    const char* relink = NULL;
    const char* plant_prefix = NULL;
    int away = 0;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        if (strcmp(argv[i], "--away") == 0) {
            away = 1;
            continue;
        }
        if (i + 1 >= argc) return usage();
        if (strcmp(argv[i], "--uid") == 0) {
            if (!parse_id(argv[++i], &uid)) return usage();
        } else if (strcmp(argv[i], "--gid") == 0) {
            if (!parse_id(argv[++i], &gid)) return usage();
        } else if (strcmp(argv[i], "--plant") == 0) {
            plant_prefix = argv[++i];
        } else if (strcmp(argv[i], "--relink") == 0) {
            relink = argv[++i];
        } else {
            return usage();
        }
    }
    if (argc - i != 3) return usage();
    const char* a = argv[i];
    const char* b = argv[i + 1];
    char* end = NULL;
    double seconds = strtod(argv[i + 2], &end);
    if (end == argv[i + 2] || *end != '\0' || seconds <= 0) return usage();

    if (gid >= 0 || uid >= 0) {
        if (setgroups(0, NULL) != 0) {
            perror("swap_race: setgroups");
            return 2;
        }
        if (gid >= 0 && setgid((gid_t)gid) != 0) {
            perror("swap_race: setgid");
            return 2;
        }
        if (uid >= 0 && setuid((uid_t)uid) != 0) {
            perror("swap_race: setuid");
            return 2;
        }
    }
    /* Set after the privilege drop, which clears it: the racer never outlives its test. */
    prctl(PR_SET_PDEATHSIG, SIGTERM);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    const double deadline = now_seconds() + seconds;
    unsigned long long swaps = 0, relinks = 0, failures = 0;
    if (plant_prefix) {
        fputs("started\n", stdout);
        fflush(stdout);
        for (unsigned long long n = 0; !stop_requested; ++n) {
            if ((n & 63) == 0 && now_seconds() >= deadline) break;
            swaps += plant(a, plant_prefix, b);
        }
        printf("swaps %llu relinks 0 failures 0\n", swaps);
        fflush(stdout);
        return swaps > 0 ? 0 : 1;
    }
    for (unsigned long long n = 0; !stop_requested; ++n) {
        if ((n & 1023) == 0 && now_seconds() >= deadline) break;
        const int moved = away ? (rename(a, b) == 0 && rename(b, a) == 0 ? 0 : -1) : exchange(a, b);
        if (moved == 0) {
            if (++swaps == 1) {
                fputs("started\n", stdout);
                fflush(stdout);
            }
            continue;
        }
        if (errno == ENOENT && relink) {
            /* One of the two names was taken away: put a link back under the missing one. */
            struct stat st;
            const char* missing = lstat(a, &st) != 0 ? a : (lstat(b, &st) != 0 ? b : NULL);
            if (missing && symlink(relink, missing) == 0) ++relinks;
            continue;
        }
        /* Anything else (the name is briefly something we may not move): keep trying, but a
         * racer that can never swap is reported by its exit status. */
        ++failures;
    }
    printf("swaps %llu relinks %llu failures %llu\n", swaps, relinks, failures);
    fflush(stdout);
    return swaps > 0 ? 0 : 1;
}
