// Exceptions of the engine. Every HDF5 failure becomes one of these, carrying
// the messages of HDF5's error stack (walked once, then cleared).
#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

// Base of every engine failure; also used for HDF5 failures of no finer kind.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A file cannot be opened, created or is not an HDF5 file.
class FileError : public Error {
public:
    using Error::Error;
};

// Reading, writing, extending or closing a file failed.
class IoError : public Error {
public:
    using Error::Error;
};

// A member that the caller named does not exist.
class NotFound : public Error {
public:
    using Error::Error;
};

// A record layout is unusable or differs from the stored one.
class LayoutError : public Error {
public:
    using Error::Error;
};

// An argument is out of range or inconsistent.
class ArgumentError : public Error {
public:
    using Error::Error;
};

// A row number would not fit the 32-bit row numbers of a minute-bar index.
class RowLimitError : public Error {
public:
    using Error::Error;
};

// Turns HDF5's automatic printing of its error stack off for the guard's
// lifetime (per thread: the Debian build is thread-safe) and restores it.
class ErrorPrintingOff {
public:
    ErrorPrintingOff() noexcept;
    ~ErrorPrintingOff() noexcept;
    ErrorPrintingOff(const ErrorPrintingOff&) = delete;
    ErrorPrintingOff& operator=(const ErrorPrintingOff&) = delete;

private:
    // HDF5's handler, kept as a generic function pointer so that this header
    // does not need hdf5.h.
    void (*saved_func_)() = nullptr;
    void* saved_data_ = nullptr;
    bool restore_ = false;
};

// The current HDF5 error stack as one line ("" when empty); clears the stack.
std::string take_hdf5_error_message();

// Throws E with `context`, followed by HDF5's message when there is one.
template <class E>
[[noreturn]] void throw_with_hdf5_message(const std::string& context) {
    const std::string hdf5 = take_hdf5_error_message();
    throw E(hdf5.empty() ? context : context + " (" + hdf5 + ")");
}

}  // namespace corvane
