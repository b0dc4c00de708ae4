// The copy of a device path out of SetupAPI's detail buffer, shared by the
// radio support library and the driver installer.
#pragma once

#include <cstddef>
#include <cstring>

namespace btradio {

// Copies source whole, with its terminator, into path (capacity characters
// with the terminator). A path that does not fit is not cut, since a cut
// path would name another device or none: path is left empty and the copy
// fails.
inline bool CopyDevicePath(const char* source, char* path, size_t capacity) {
    if (capacity == 0) return false;
    const size_t length = ::strnlen(source, capacity);
    if (length >= capacity) {
        path[0] = '\0';
        return false;
    }
    std::memcpy(path, source, length + 1);
    return true;
}

}  // namespace btradio
