// The practical limit of fingerprinting whole files on this machine: every file named on the
// command line is read in 256 KiB blocks and hashed with OpenSSL's MD5 (with --sha256, each
// block also with SHA-256, as norv's one read does), one file at a time per thread, on THREADS
// threads. No walk, no store, no log: what is left is the read from the page cache and the
// hash. Prints the seconds taken.
//
//   norv-read-md5-limit [--sha256] THREADS FILE...
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const bool sha256 = argc > 1 && std::string(argv[1]) == "--sha256";
    if (sha256) {
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: norv-read-md5-limit [--sha256] THREADS FILE...\n");
        return 2;
    }
    const int threads = std::atoi(argv[1]);
    std::vector<const char*> files(argv + 2, argv + argc);
    std::atomic<size_t> next{0};
    auto work = [&] {
        std::vector<char> buffer(1 << 18);
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_MD_CTX* second = EVP_MD_CTX_new();
        for (size_t i; (i = next++) < files.size();) {
            int fd = ::open(files[i], O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
            if (sha256) EVP_DigestInit_ex(second, EVP_sha256(), nullptr);
            for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
                EVP_DigestUpdate(ctx, buffer.data(), static_cast<size_t>(n));
                if (sha256) EVP_DigestUpdate(second, buffer.data(), static_cast<size_t>(n));
            }
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned length = 0;
            EVP_DigestFinal_ex(ctx, digest, &length);
            if (sha256) EVP_DigestFinal_ex(second, digest, &length);
            ::close(fd);
        }
        EVP_MD_CTX_free(ctx);
        EVP_MD_CTX_free(second);
    };
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(work);
    for (auto& t : pool) t.join();
    std::printf("%.3f\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
}
