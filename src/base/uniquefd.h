#pragma once

// Owns one file descriptor and closes it when destroyed or reset; moves,
// never copies. One that holds none knows why: made from the -1 a system
// call returned, it keeps that call's errno, so the cause travels with the
// failure as a value (error()).

#include <cerrno>
#include <unistd.h>

class UniqueFd
{
public:
    UniqueFd() = default;
    // Takes `fd`, or when it is negative the errno of the call that gave it.
    explicit UniqueFd(int fd) : fd(fd), why(fd < 0 ? (errno != 0 ? errno : EBADF) : 0) {}
    static UniqueFd failure(int error)
    {
        UniqueFd none;
        none.why = error;
        return none;
    }
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd(other.fd), why(other.why) { other.fd = -1; }
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other) {
            reset();
            fd = other.fd;
            why = other.why;
            other.fd = -1;
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd; }
    bool isValid() const { return fd >= 0; }
    // Why there is no descriptor (an errno); 0 when there is one.
    int error() const { return fd >= 0 ? 0 : why; }
    int release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }
    void reset(int replacement = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = replacement;
        why = replacement < 0 ? EBADF : 0;
    }

private:
    int fd = -1;
    int why = EBADF;
};
