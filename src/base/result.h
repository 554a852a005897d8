#pragma once

// The outcome of an operation made of system calls: success, or the errno
// of the failure, carried as a value so that a later call can never
// overwrite the cause on its way to the line that reports it. It has no
// conversion to bool, so a caller cannot mistake an error code for success.

#include <cerrno>

class [[nodiscard]] Result
{
public:
    static Result success() { return Result(0); }
    static Result failure(int error) { return Result(error != 0 ? error : EIO); }
    // The errno of the call that just failed.
    static Result fromErrno() { return failure(errno); }
    // Success when `succeeded`, else the errno of the call that just failed.
    static Result check(bool succeeded) { return succeeded ? success() : fromErrno(); }

    bool ok() const { return code == 0; }
    int error() const { return code; } // 0 on success

private:
    explicit Result(int code) : code(code) {}
    int code;
};
