#include "corvane/error.hpp"

#include <hdf5.h>

#include <vector>

namespace corvane {

ErrorPrintingOff::ErrorPrintingOff() noexcept {
    H5E_auto2_t func = nullptr;
    void* data = nullptr;
    if (H5Eget_auto2(H5E_DEFAULT, &func, &data) >= 0) {
        saved_func_ = reinterpret_cast<void (*)()>(func);
        saved_data_ = data;
        restore_ = true;
    }
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

ErrorPrintingOff::~ErrorPrintingOff() noexcept {
    if (restore_) {
        H5Eset_auto2(H5E_DEFAULT, reinterpret_cast<H5E_auto2_t>(saved_func_), saved_data_);
    }
}

namespace {

herr_t collect_description(unsigned, const H5E_error2_t* record, void* out) {
    auto& descriptions = *static_cast<std::vector<std::string>*>(out);
    std::string text = record->desc ? record->desc : "";
    if (text.empty() && record->func_name) text = record->func_name;
    // Some descriptions embed a line break (e.g. after a time stamp); keep
    // the message on one line.
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    // HDF5 repeats one description on several levels of a stack.
    if (!text.empty() && (descriptions.empty() || descriptions.back() != text)) {
        descriptions.push_back(text);
    }
    return 0;
}

}  // namespace

std::string take_hdf5_error_message() {
    std::vector<std::string> descriptions;
    // Outermost (API) call first, the root cause last.
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, collect_description, &descriptions);
    H5Eclear2(H5E_DEFAULT);
    std::string message;
    for (const auto& d : descriptions) {
        if (!message.empty()) message += ": ";
        message += d;
    }
    return message;
}

}  // namespace corvane
