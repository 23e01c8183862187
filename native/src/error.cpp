#include "corvane/error.hpp"

#include <hdf5.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace corvane {

namespace {

// Guards alive on this thread: only the outermost one asks HDF5 (each ask
// takes HDF5's lock and context, and one engine call nests a dozen guards).
thread_local int guards_alive = 0;

}  // namespace

ErrorPrintingOff::ErrorPrintingOff() noexcept {
    if (guards_alive++ > 0) return;
    H5E_auto2_t func = nullptr;
    void* data = nullptr;
    if (H5Eget_auto2(H5E_DEFAULT, &func, &data) < 0) {
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        return;
    }
    // Already off (the module turns it off on its own thread): nothing to set, nothing to restore.
    if (func == nullptr) return;
    saved_func_ = reinterpret_cast<void (*)()>(func);
    saved_data_ = data;
    restore_ = true;
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

ErrorPrintingOff::~ErrorPrintingOff() noexcept {
    --guards_alive;
    if (restore_) {
        H5Eset_auto2(H5E_DEFAULT, reinterpret_cast<H5E_auto2_t>(saved_func_), saved_data_);
    }
}

void hdf5_printing_off() noexcept { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

namespace {

// HDF5's file drivers put the errno of a failed system call into the text of
// their error record; it has no field of its own.
int errno_in(const std::string& description) {
    const std::string key = "errno = ";
    const std::size_t at = description.find(key);
    if (at == std::string::npos) return 0;
    return std::atoi(description.c_str() + at + key.size());
}

struct Walk {
    Hdf5Failure failure;
    std::vector<std::string> descriptions;
};

herr_t collect(unsigned, const H5E_error2_t* record, void* out) {
    auto& walk = *static_cast<Walk*>(out);
    if (record->min_num == H5E_NOTHDF5) walk.failure.not_hdf5 = true;
    if (record->min_num == H5E_TRUNCATED || record->min_num == H5E_BADMESG ||
        record->min_num == H5E_CANTDECODE) {
        walk.failure.damaged = true;
    }
    std::string text = record->desc ? record->desc : "";
    if (text.empty() && record->func_name) text = record->func_name;
    if (const int error_number = errno_in(text)) walk.failure.error_number = error_number;
    // Some descriptions embed a line break (e.g. after a time stamp); keep
    // the message on one line.
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    // HDF5 repeats one description on several levels of a stack.
    if (!text.empty() && (walk.descriptions.empty() || walk.descriptions.back() != text)) {
        walk.descriptions.push_back(text);
    }
    return 0;
}

}  // namespace

Hdf5Failure take_hdf5_failure() {
    Walk walk;
    // Outermost (API) call first, the root cause last.
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, collect, &walk);
    H5Eclear2(H5E_DEFAULT);
    for (const auto& d : walk.descriptions) {
        if (!walk.failure.message.empty()) walk.failure.message += ": ";
        walk.failure.message += d;
    }
    if (!walk.descriptions.empty()) walk.failure.cause = walk.descriptions.back();
    return walk.failure;
}

std::string take_hdf5_error_message() { return take_hdf5_failure().message; }

}  // namespace corvane
