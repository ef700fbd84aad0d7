// What the fuzz targets share: the input as a file for the readers that take a path, and a fresh
// state folder for the ones that touch the registry.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace orvik::fuzz {

// One file per process, rewritten for every input.
inline std::string asFile(const uint8_t* data, size_t size, const char* name) {
    static const std::string dir = [] {
        char folder[] = "/tmp/orvik-fuzz-XXXXXX";
        const char* made = mkdtemp(folder);
        std::string d = made ? made : "/tmp";
        setenv("ORVIK_HOME", (d + "/home").c_str(), 1);
        return d;
    }();
    std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
        if (size) std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    return path;
}

}  // namespace orvik::fuzz
