#include "zor_error.h"

#include <cstring>
#include <new>

namespace {
// zor_enomem is thrown exactly when memory has run out, so copying its
// message must not throw in turn: when the copy cannot be made the error
// simply carries no message (getMsg() returns null).
char* copyMessage(const char* m)
{
    if (m == nullptr) {
        return nullptr;
    }
    size_t len = std::strlen(m) + 1;
    char* copy = new (std::nothrow) char[len];
    if (copy != nullptr) {
        std::memcpy(copy, m, len);
    }
    return copy;
}
} // namespace

zor_error::zor_error() : msg(nullptr) {}

zor_error::zor_error(const char* m) : msg(copyMessage(m)) {}

zor_error::zor_error(const zor_error& other) : msg(copyMessage(other.msg)) {}

zor_error::~zor_error() { delete[] msg; }

const char* zor_error::getMsg() const { return msg; }

zor_enomem::zor_enomem(const char* m) : zor_error(m) {}

zor_enomem::zor_enomem(const zor_enomem& other) : zor_error(other) {}

zor_enomem::~zor_enomem() = default;
