/* fuse_server: a FUSE file system whose reads never return, spoken over /dev/fuse directly.
 *
 *   fuse_server MOUNTPOINT UID [--file] [--allow-other] [--mute]
 *
 * Mounts on MOUNTPOINT (root only) as if user UID had mounted it (user_id=UID). The root is a
 * folder holding one file, "page.html" (4096 bytes, owned by UID), or with --file a 4096-byte
 * file itself (for a file mount point). --allow-other lets other users, root included, in.
 * Lookups, attributes, opens and listings are answered; a READ is never answered, and with
 * --mute nothing is but the kernel's INIT. A request left unanswered waits until the server
 * ends (once the server has taken it, not even SIGKILL ends the wait); each one writes "asked N"
 * (N its opcode, 15 for READ) to standard output.
 *
 * "ready" is written once mounted. Mounting refused: the reason on standard output, exit 77.
 * SIGTERM or SIGINT detaches the mount and ends the server; the waiting requests then fail. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/fuse.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kRoot = 1, kPage = 2, kSize = 4096 };

static const char* mountpoint;
static uid_t owner;
static int file_root;
static int mute;

static void Stop(int signal) {
    (void)signal;
    umount2(mountpoint, MNT_DETACH);
    _exit(0);
}

static void Reply(int fd, uint64_t unique, int error, const void* body, size_t size) {
    struct fuse_out_header header = {
        .len = (uint32_t)(sizeof header + size), .error = -error, .unique = unique};
    char out[sizeof header + 4096];
    memcpy(out, &header, sizeof header);
    if (size > 0) memcpy(out + sizeof header, body, size);
    if (write(fd, out, header.len) < 0 && errno != ENOENT) perror("fuse_server: write");
}

static void Attributes(uint64_t node, struct fuse_attr* attr) {
    memset(attr, 0, sizeof *attr);
    attr->ino = node;
    attr->uid = owner;
    attr->gid = owner;
    attr->blksize = 4096;
    if (node == kRoot && !file_root) {
        attr->mode = S_IFDIR | 0755;
        attr->nlink = 2;
    } else {
        attr->mode = S_IFREG | 0644;
        attr->nlink = 1;
        attr->size = kSize;
        attr->blocks = kSize / 512;
    }
}

static size_t AddEntry(char* at, uint64_t node, uint64_t offset, const char* name, unsigned type) {
    struct fuse_dirent* entry = (struct fuse_dirent*)at;
    entry->ino = node;
    entry->off = offset;
    entry->namelen = (uint32_t)strlen(name);
    entry->type = type;
    memcpy(entry->name, name, entry->namelen);
    return FUSE_DIRENT_SIZE(entry);
}

static void Serve(int fd) {
    static char in[1 << 20];
    for (;;) {
        ssize_t n = read(fd, in, sizeof in);
        if (n < 0 && (errno == EINTR || errno == ENOENT)) continue;
        if (n < (ssize_t)sizeof(struct fuse_in_header)) return; /* unmounted */
        const struct fuse_in_header* header = (const struct fuse_in_header*)in;
        const char* body = in + sizeof *header;
        if (mute && header->opcode != FUSE_INIT) {
            printf("asked %u\n", header->opcode);
            fflush(stdout);
            continue;
        }
        switch (header->opcode) {
            case FUSE_INIT: {
                const struct fuse_init_in* init = (const struct fuse_init_in*)body;
                struct fuse_init_out out = {.major = FUSE_KERNEL_VERSION,
                                            .minor = init->minor < FUSE_KERNEL_MINOR_VERSION
                                                         ? init->minor
                                                         : FUSE_KERNEL_MINOR_VERSION,
                                            .max_readahead = init->max_readahead,
                                            .max_background = 16,
                                            .congestion_threshold = 12,
                                            .max_write = 4096,
                                            .time_gran = 1};
                Reply(fd, header->unique, 0, &out, sizeof out);
                break;
            }
            case FUSE_LOOKUP: {
                if (header->nodeid != kRoot || file_root || strcmp(body, "page.html") != 0) {
                    Reply(fd, header->unique, ENOENT, NULL, 0);
                    break;
                }
                struct fuse_entry_out out = {.nodeid = kPage, .generation = 1};
                Attributes(kPage, &out.attr);
                Reply(fd, header->unique, 0, &out, sizeof out);
                break;
            }
            case FUSE_GETATTR: {
                struct fuse_attr_out out = {0};
                Attributes(header->nodeid, &out.attr);
                Reply(fd, header->unique, 0, &out, sizeof out);
                break;
            }
            case FUSE_OPEN:
            case FUSE_OPENDIR: {
                struct fuse_open_out out = {.fh = header->nodeid};
                Reply(fd, header->unique, 0, &out, sizeof out);
                break;
            }
            case FUSE_READDIR: {
                const struct fuse_read_in* read_in = (const struct fuse_read_in*)body;
                char out[1024];
                size_t size = 0;
                if (read_in->offset == 0) {
                    size += AddEntry(out + size, kRoot, 1, ".", S_IFDIR >> 12);
                    size += AddEntry(out + size, kRoot, 2, "..", S_IFDIR >> 12);
                    size += AddEntry(out + size, kPage, 3, "page.html", S_IFREG >> 12);
                }
                Reply(fd, header->unique, 0, out, size);
                break;
            }
            case FUSE_READ:
                printf("asked %u\n", header->opcode);
                fflush(stdout);
                break; /* never answered */
            case FUSE_RELEASE:
            case FUSE_RELEASEDIR:
            case FUSE_FLUSH:
                Reply(fd, header->unique, 0, NULL, 0);
                break;
            case FUSE_FORGET:
            case FUSE_BATCH_FORGET:
            case FUSE_INTERRUPT:
                break; /* no answer expected */
            default:
                Reply(fd, header->unique, ENOSYS, NULL, 0);
                break;
        }
    }
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: fuse_server MOUNTPOINT UID [--file] [--allow-other] [--mute]\n");
        return 2;
    }
    mountpoint = argv[1];
    owner = (uid_t)strtoul(argv[2], NULL, 10);
    int allow_other = 0;
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "--file") == 0) file_root = 1;
        if (strcmp(argv[i], "--allow-other") == 0) allow_other = 1;
        if (strcmp(argv[i], "--mute") == 0) mute = 1;
    }
    int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        printf("/dev/fuse: %s\n", strerror(errno));
        return 77;
    }
    char options[256];
    snprintf(options, sizeof options, "fd=%d,rootmode=%o,user_id=%u,group_id=%u%s", fd,
             file_root ? S_IFREG | 0644 : S_IFDIR | 0755, owner, owner,
             allow_other ? ",allow_other" : "");
    if (mount("norvtest", mountpoint, "fuse.norvtest", MS_NOSUID | MS_NODEV, options) != 0) {
        printf("mount %s: %s\n", mountpoint, strerror(errno));
        return 77;
    }
    struct sigaction action = {.sa_handler = Stop};
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    printf("ready\n");
    fflush(stdout);
    Serve(fd);
    return 0;
}
