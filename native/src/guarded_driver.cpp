#include "guarded_driver.hpp"

#include "closing_scope.hpp"
#include "corvane/error.hpp"

#include <cstring>
#include <exception>
#include <memory>
#include <type_traits>

namespace corvane::detail {

namespace {

// Largest address a signed 64-bit file offset can reach.
constexpr haddr_t kMaxAddr = (haddr_t{1} << 63) - 1;

// What the file access properties carry to the driver's open: the file
// whose bytes HDF5 is to see. A plain pointer, copied by HDF5 byte for byte.
struct DriverInfo {
    GuardedFile* file;
};

// One HDF5 view of a guarded file. HDF5 knows only `base`, the first member.
struct DriverFile {
    H5FD_t base;
    std::shared_ptr<GuardedFile> file;
    haddr_t eoa;
};
static_assert(std::is_standard_layout<DriverFile>::value,
              "HDF5 sees a DriverFile through a pointer to its first member");

DriverFile& self(H5FD_t* f) { return *reinterpret_cast<DriverFile*>(f); }
const DriverFile& self(const H5FD_t* f) { return *reinterpret_cast<const DriverFile*>(f); }

// Puts `message` on HDF5's error stack, so that it reaches the engine's
// exception through the failing HDF5 call.
void report(H5E_minor_t minor, const char* message) {
    H5Epush2(H5E_DEFAULT, __FILE__, "corvane file driver", __LINE__, H5E_ERR_CLS, H5E_VFL, minor, "%s",
             message);
}

bool out_of_range(haddr_t addr, std::size_t size) {
    return addr == HADDR_UNDEF || addr > kMaxAddr || size > kMaxAddr - addr;
}

// A write or truncation failed; the call has recorded why and can only roll
// back. Outside a close HDF5 is told (the failing operation reports it);
// inside one the failure stays with the call and later writes are dropped.
herr_t failed_write(DriverFile& file, H5E_minor_t minor, const char* message) {
    if (ClosingScope::active()) {
        file.file->drop_writes();
        return 0;
    }
    report(minor, message);
    return -1;
}

H5FD_t* driver_open(const char* name, unsigned flags, hid_t fapl, haddr_t) {
    try {
        const auto* info = static_cast<const DriverInfo*>(H5Pget_driver_info(fapl));
        if (info == nullptr || info->file == nullptr || name == nullptr ||
            info->file->working_path() != name) {
            report(H5E_CANTOPENFILE, "the corvane driver opens only the file it was set up for");
            return nullptr;
        }
        if (flags & H5F_ACC_TRUNC) info->file->truncate(0);
        auto* f = new DriverFile{};
        f->file = info->file->shared_from_this();
        f->eoa = 0;
        return &f->base;
    } catch (const std::exception& e) {
        report(H5E_CANTOPENFILE, e.what());
        return nullptr;
    }
}

herr_t driver_close(H5FD_t* f) {
    // The GuardedFile outlives HDF5's view: the engine ends it (commit or
    // rollback) after HDF5 has closed the file.
    delete &self(f);
    return 0;
}

int driver_cmp(const H5FD_t* a, const H5FD_t* b) {
    const GuardedFile* x = self(a).file.get();
    const GuardedFile* y = self(b).file.get();
    return x < y ? -1 : (x > y ? 1 : 0);
}

herr_t driver_query(const H5FD_t*, unsigned long* flags) {
    // The same I/O shaping as HDF5's own POSIX driver.
    if (flags) {
        *flags = H5FD_FEAT_AGGREGATE_METADATA | H5FD_FEAT_ACCUMULATE_METADATA | H5FD_FEAT_DATA_SIEVE |
                 H5FD_FEAT_AGGREGATE_SMALLDATA;
    }
    return 0;
}

haddr_t driver_get_eoa(const H5FD_t* f, H5FD_mem_t) { return self(f).eoa; }

herr_t driver_set_eoa(H5FD_t* f, H5FD_mem_t, haddr_t addr) {
    if (addr > kMaxAddr) {
        report(H5E_OVERFLOW, "address overflow");
        return -1;
    }
    self(f).eoa = addr;
    return 0;
}

haddr_t driver_get_eof(const H5FD_t* f, H5FD_mem_t) { return static_cast<haddr_t>(self(f).file->size()); }

herr_t driver_get_handle(H5FD_t*, hid_t, void**) {
    // A raw descriptor would let writes bypass the journal.
    report(H5E_UNSUPPORTED, "the corvane driver does not hand out its file descriptor");
    return -1;
}

herr_t driver_read(H5FD_t* f, H5FD_mem_t, hid_t, haddr_t addr, size_t size, void* buffer) {
    if (out_of_range(addr, size)) {
        report(H5E_OVERFLOW, "read address overflow");
        return -1;
    }
    try {
        self(f).file->read(addr, buffer, size);
        return 0;
    } catch (const std::exception& e) {
        report(H5E_READERROR, e.what());
        return -1;
    }
}

herr_t driver_write(H5FD_t* f, H5FD_mem_t, hid_t, haddr_t addr, size_t size, const void* buffer) {
    if (out_of_range(addr, size)) {
        report(H5E_OVERFLOW, "write address overflow");
        return -1;
    }
    try {
        self(f).file->write(addr, buffer, size);
        return 0;
    } catch (const std::exception& e) {
        return failed_write(self(f), H5E_WRITEERROR, e.what());
    }
}

herr_t driver_flush(H5FD_t*, hid_t, hbool_t) {
    // Flushing to disk is the GuardedFile's, at the points that make a call
    // durable; HDF5's own flushes only hand bytes to the driver.
    return 0;
}

herr_t driver_truncate(H5FD_t* f, hid_t, hbool_t) {
    DriverFile& file = self(f);
    if (file.eoa == file.file->size()) return 0;
    try {
        file.file->truncate(file.eoa);
        return 0;
    } catch (const std::exception& e) {
        return failed_write(file, H5E_SEEKERROR, e.what());
    }
}

// Locking is the GuardedFile's: a reader's shared lock from the open, the
// writer lock from the first write.
herr_t driver_lock(H5FD_t*, hbool_t) { return 0; }
herr_t driver_unlock(H5FD_t*) { return 0; }

const H5FD_class_t kDriverClass = {
    "corvane_guarded",
    kMaxAddr,
    H5F_CLOSE_WEAK,
    nullptr,                                   // terminate
    nullptr, nullptr, nullptr,                 // no driver info block in the superblock
    sizeof(DriverInfo), nullptr, nullptr, nullptr,
    0, nullptr, nullptr,                       // no transfer properties
    driver_open, driver_close, driver_cmp, driver_query,
    nullptr,                                   // get_type_map
    nullptr, nullptr,                          // HDF5 allocates space itself
    driver_get_eoa, driver_set_eoa, driver_get_eof, driver_get_handle,
    driver_read, driver_write, driver_flush, driver_truncate,
    driver_lock, driver_unlock,
    H5FD_FLMAP_DICHOTOMY,
};

hid_t driver_id() {
    static const hid_t id = H5FDregister(&kDriverClass);
    if (id < 0) throw_with_hdf5_message<Error>("cannot register the corvane file driver");
    return id;
}

}  // namespace

void use_guarded_driver(hid_t fapl, GuardedFile& file) {
    const DriverInfo info{&file};
    if (H5Pset_driver(fapl, driver_id(), &info) < 0) {
        throw_with_hdf5_message<Error>("cannot set the corvane file driver");
    }
}

}  // namespace corvane::detail
