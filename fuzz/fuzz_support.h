// Shared bits of the fuzz targets: a scratch folder per process and a way to put the input
// into a file there.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace norv::fuzz {

inline const std::string& Scratch() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/norv-fuzz-XXXXXX";
        return std::string(::mkdtemp(pattern));
    }();
    return dir;
}

inline std::string WriteInput(const char* name, const uint8_t* data, size_t size) {
    std::string path = Scratch() + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    return path;
}

}  // namespace norv::fuzz
