#include <cstring>
#include <string_view>

#include <crt.h>

namespace {

void put(char* out, size_t capacity, std::string_view part) {
    if (!out) return;
    size_t n = part.size() < capacity ? part.size() : capacity - 1;
    if (n) std::memcpy(out, part.data(), n);
    out[n] = '\0';
}

}  // namespace

extern "C" void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    std::string_view p = path ? path : "";
    // No drive letters on this system.
    put(drive, _MAX_DRIVE, {});

    size_t slash = p.find_last_of("/\\");
    std::string_view directory = slash == std::string_view::npos ? std::string_view{} : p.substr(0, slash + 1);
    std::string_view last = slash == std::string_view::npos ? p : p.substr(slash + 1);
    size_t dot = last.find_last_of('.');
    std::string_view name = dot == std::string_view::npos ? last : last.substr(0, dot);
    std::string_view extension = dot == std::string_view::npos ? std::string_view{} : last.substr(dot);

    put(dir, _MAX_DIR, directory);
    put(fname, _MAX_FNAME, name);
    put(ext, _MAX_EXT, extension);
}
