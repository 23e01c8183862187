// Exceptions of the engine. Every HDF5 failure becomes one of these, carrying
// the messages of HDF5's error stack (walked once, then cleared).
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace corvane {

// Base of every engine failure; also used for HDF5 failures of no finer kind.
// Besides its text it keeps the parts the text is made of, so that callers
// can word a failure briefly without taking the text apart: what failed (with
// the file), the root cause (HDF5's innermost description, "" when none) and
// what became of the call's changes ("" when nothing is said).
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& what) : std::runtime_error(what), context_(what) {}
    // The text "context (chain); consequence", `chain` being the descriptions
    // down to `cause`, each part left out when empty.
    Error(const std::string& context, const std::string& chain, const std::string& cause,
          const std::string& consequence = "")
        : std::runtime_error(compose(context, chain, consequence)),
          context_(context), cause_(cause), consequence_(consequence) {}
    const std::string& context() const noexcept { return context_; }
    const std::string& cause() const noexcept { return cause_; }
    const std::string& consequence() const noexcept { return consequence_; }

private:
    static std::string compose(const std::string& context, const std::string& chain,
                               const std::string& consequence) {
        std::string what = chain.empty() ? context : context + " (" + chain + ")";
        return consequence.empty() ? what : what + "; " + consequence;
    }
    std::string context_, cause_, consequence_;
};

// A file cannot be opened, created or is not an HDF5 file.
class FileError : public Error {
public:
    using Error::Error;
};

// Another writer holds the file: trying again later may succeed.
class BusyError : public FileError {
public:
    using FileError::FileError;
};

// Not a bundle file at all: not a regular file, empty, or not HDF5.
class NotBundleFileError : public FileError {
public:
    using FileError::FileError;
};

// An HDF5 file whose own structures cannot be read (cut short, garbled).
class DamagedFileError : public FileError {
public:
    using FileError::FileError;
};

// A member stored in a newer HDF5 format than the engine's HDF5 decodes: not
// damage, yet as unreadable here, and no repeat changes that.
class NewerFormatError : public DamagedFileError {
public:
    using DamagedFileError::DamagedFileError;
};

// Reading, writing, extending or closing a file failed. Carries the errno of
// the system call that failed (0 when none is known): by default the errno
// current where the exception is built, which every throw site that follows
// a failing system call builds at once.
class IoError : public Error {
public:
    explicit IoError(const std::string& what, int error_number = errno)
        : Error(what), error_number_(error_number) {}
    IoError(const std::string& context, const std::string& chain, const std::string& cause,
            const std::string& consequence = "", int error_number = errno)
        : Error(context, chain, cause, consequence), error_number_(error_number) {}
    int error_number() const noexcept { return error_number_; }

private:
    int error_number_;
};

// The disk (or the user's quota) is full.
class OutOfSpaceError : public IoError {
public:
    using IoError::IoError;
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

// What made `error` fail at bottom: its cause, or its whole text when it names
// none (a failure that another one reports as its cause).
inline std::string root_cause(const Error& error) {
    return error.cause().empty() ? std::string(error.what()) : error.cause();
}

// Whether errno `error_number` says the disk or the quota is full.
inline bool is_out_of_space(int error_number) { return error_number == ENOSPC || error_number == EDQUOT; }

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

// Turns HDF5's automatic printing off in the calling thread for good (the
// module does it once, as it loads). Every failure reaches the caller as an
// exception carrying HDF5's message anyway; and HDF5 keeps internal objects
// of an object it failed to decode (a damaged datatype) until exit, where,
// printing on, it reports "infinite loop closing library" about them.
void hdf5_printing_off() noexcept;

// What HDF5's error stack says of a failure, taken once (the stack is cleared).
struct Hdf5Failure {
    std::string message;     // the descriptions, outermost first, on one line ("" when empty)
    std::string cause;       // the innermost description ("" when empty)
    int error_number = 0;    // errno a file driver reported, 0 when none
    bool not_hdf5 = false;   // the file has no HDF5 signature
    bool damaged = false;    // the file's structures are cut short or garbled
};
Hdf5Failure take_hdf5_failure();

// The current HDF5 error stack as one line ("" when empty); clears the stack.
std::string take_hdf5_error_message();

// Throws E with `context`, followed by HDF5's message when there is one. A
// file or I/O failure the stack explains further becomes the finer class:
// not a bundle file, a damaged file, out of space, or an I/O error with errno.
template <class E>
[[noreturn]] void throw_with_hdf5_message(const std::string& context) {
    const int current_errno = errno;
    const Hdf5Failure failure = take_hdf5_failure();
    const std::string& chain = failure.message;
    const std::string& cause = failure.cause;
    if constexpr (std::is_same_v<E, FileError> || std::is_same_v<E, IoError>) {
        const int error_number = failure.error_number ? failure.error_number : current_errno;
        if (failure.not_hdf5) throw NotBundleFileError(context, chain, cause);
        if (is_out_of_space(error_number)) throw OutOfSpaceError(context, chain, cause, "", error_number);
        if (failure.damaged) throw DamagedFileError(context, chain, cause);
        if constexpr (std::is_same_v<E, IoError>) throw IoError(context, chain, cause, "", error_number);
    }
    throw E(context, chain, cause);
}

}  // namespace corvane
