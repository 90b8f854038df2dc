// A value or the reason there is none: the one way host, daemon, console and
// engine code reports a failure that its caller can act on.
//
//     zor::Expected<Config> parsed = parseOptions(argv);
//     if (!parsed) {
//         std::cerr << "zorhostd: " << parsed.error() << '\n';
//         return 2;
//     }
//     run(*parsed);
//
// A function that has nothing to return gives zor::Expected<void>: `return {};`
// on success, `return zor::Error{"why"};` otherwise. The reason is a text for
// a person (a log line, a reply, an HTTP body), not a code: every caller so
// far shows it and none branches on it. The module's entry points keep the
// result codes and exceptions their contract fixes.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace zor {

/// Why something failed, in words for the person who asked.
struct Error {
    std::string message;
};

template <class T>
class [[nodiscard]] Expected {
public:
    Expected(T value) : _state(std::in_place_index<0>, std::move(value)) {}
    Expected(Error error) : _state(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const { return _state.index() == 0; }
    bool hasValue() const { return _state.index() == 0; }

    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& value()
    {
        assert(hasValue());
        return std::get<0>(_state);
    }
    const T& value() const
    {
        assert(hasValue());
        return std::get<0>(_state);
    }
    /// The reason; only when there is no value.
    const std::string& error() const
    {
        assert(!hasValue());
        return std::get<1>(_state).message;
    }
    /// The value, or fallback when there is none.
    T valueOr(T fallback) const { return hasValue() ? std::get<0>(_state) : std::move(fallback); }

private:
    std::variant<T, Error> _state;
};

template <>
class [[nodiscard]] Expected<void> {
public:
    Expected() = default;
    Expected(Error error) : _failed(true), _error(std::move(error)) {}

    explicit operator bool() const { return !_failed; }
    bool hasValue() const { return !_failed; }
    const std::string& error() const
    {
        assert(_failed);
        return _error.message;
    }

private:
    bool _failed = false;
    Error _error;
};

} // namespace zor
