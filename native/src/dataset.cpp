#include "corvane/dataset.hpp"

#include "corvane/chunking.hpp"
#include "corvane/datatype.hpp"
#include "corvane/error.hpp"
#include "root_members.hpp"
#include "stored_chunks.hpp"
#include "write_rows.hpp"

#include <hdf5.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace corvane {

namespace {

// Raw bytes of one chunk of the dataset; 0 when it is not chunked.
std::uint64_t chunk_bytes(hid_t dcpl, hid_t dataset) {
    Handle type(H5Dget_type(dataset), H5Tclose);
    if (!type) return 0;
    hsize_t chunk[1] = {0};
    if (H5Pget_layout(dcpl) != H5D_CHUNKED || H5Pget_chunk(dcpl, 1, chunk) != 1) return 0;
    const std::uint64_t itemsize = H5Tget_size(type.get());
    // Saturates instead of wrapping: both factors come from the file.
    if (itemsize != 0 && chunk[0] > UINT64_MAX / itemsize) return UINT64_MAX;
    return chunk[0] * itemsize;
}

bool all_zero(const std::vector<unsigned char>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b == 0; });
}

// The filter pipeline of `dcpl` into `storage`.
void read_filters(hid_t dcpl, ChunkStorage& storage) {
    const int count = H5Pget_nfilters(dcpl);
    storage.unknown_filter = count < 0;
    for (int i = 0; i < count; ++i) {
        unsigned flags = 0, values[4] = {0, 0, 0, 0};
        std::size_t n_values = 4;
        const H5Z_filter_t id =
            H5Pget_filter2(dcpl, static_cast<unsigned>(i), &flags, &n_values, values, 0, nullptr, nullptr);
        if (id != H5Z_FILTER_DEFLATE && id != H5Z_FILTER_SHUFFLE && id != H5Z_FILTER_FLETCHER32) {
            storage.unknown_filter = true;
        }
        storage.filters.push_back({static_cast<int>(id), n_values > 0 ? values[0] : 0});
    }
}

// Creation properties of every dataset: chunked, deflate 9, no shuffle.
Handle dataset_creation_properties(std::size_t rows_per_chunk) {
    Handle dcpl(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    if (!dcpl) throw_with_hdf5_message<Error>("cannot create dataset properties");
    const hsize_t chunk[1] = {rows_per_chunk};
    if (H5Pset_chunk(dcpl.get(), 1, chunk) < 0 || H5Pset_deflate(dcpl.get(), 9) < 0 ||
        // No modification time in the object header: equal records give
        // equal files, as with the usual Python binding.
        H5Pset_obj_track_times(dcpl.get(), false) < 0) {
        throw_with_hdf5_message<Error>("cannot set dataset properties");
    }
    return dcpl;
}

}  // namespace

Dataset::Dataset(Handle handle, std::string name, std::string file_path)
    : handle_(std::move(handle)), name_(std::move(name)), file_path_(std::move(file_path)) {}

std::string Dataset::where() const { return "'" + name_ + "' in '" + file_path_ + "'"; }

Dataset Dataset::create(File& file, const std::string& name, const RecordsView& records,
                        std::size_t rows_per_chunk) {
    ErrorPrintingOff quiet;
    if (!is_member_name(name)) throw ArgumentError("invalid dataset name '" + name + "'");
    if (file.contains(name)) {
        throw ArgumentError("member '" + name + "' already exists in '" + file.path() + "'");
    }
    file.begin_writing();
    const Datatype type = Datatype::from_layout(records.layout);
    const hsize_t rows[1] = {records.rows};
    const hsize_t unlimited[1] = {H5S_UNLIMITED};
    Handle space(H5Screate_simple(1, rows, unlimited), H5Sclose);
    if (!space) throw_with_hdf5_message<Error>("cannot create a dataspace");
    if (rows_per_chunk == 0) rows_per_chunk = chunk_rows(records.layout.itemsize(), records.rows);
    const Handle dcpl = dataset_creation_properties(rows_per_chunk);
    Handle id(H5Dcreate2(file.handle().get(), name.c_str(), type.handle().get(), space.get(),
                         H5P_DEFAULT, dcpl.get(), H5P_DEFAULT),
              H5Dclose);
    if (!id) {
        throw_with_hdf5_message<Error>("unable to create '" + name + "' in '" + file.path() + "'");
    }
    Dataset dataset(std::move(id), name, file.path());
    try {
        detail::write_rows(dataset, 0, records, detail::LastChunk::final);
    } catch (...) {
        // No half-written member: the caller sees the file without it.
        dataset.handle_.close();
        H5Ldelete(file.handle().get(), name.c_str(), H5P_DEFAULT);
        H5Eclear2(H5E_DEFAULT);
        throw;
    }
    return dataset;
}

Dataset Dataset::open(const File& file, const std::string& name) {
    return open(file.handle(), file.path(), name);
}

Dataset Dataset::open(const Handle& file, const std::string& file_path, const std::string& name) {
    ErrorPrintingOff quiet;
    // Looked up only when the open fails: an append opens two datasets.
    Handle id(is_member_name(name) ? H5Dopen2(file.get(), name.c_str(), H5P_DEFAULT) : -1,
              H5Dclose);
    if (!id) {
        const Hdf5Failure failure = take_hdf5_failure();
        const htri_t exists = is_member_name(name) ? H5Lexists(file.get(), name.c_str(), H5P_DEFAULT) : 0;
        if (exists < 0) {
            throw_with_hdf5_message<IoError>("unable to look up '" + name + "' in '" + file_path + "'");
        }
        if (exists == 0) throw NotFound("no member '" + name + "' in '" + file_path + "'");
        detail::throw_unopened_member(file.get(), file_path, name, failure);
    }
    Dataset dataset(std::move(id), name, file_path);
    Handle space(H5Dget_space(dataset.handle_.get()), H5Sclose);
    if (!space) throw_with_hdf5_message<IoError>("unable to read the shape of " + dataset.where());
    if (H5Sget_simple_extent_ndims(space.get()) != 1) {
        H5Eclear2(H5E_DEFAULT);
        throw LayoutError(dataset.where() + " is not one-dimensional");
    }
    dataset.creation_properties_ = Handle(H5Dget_create_plist(dataset.handle_.get()), H5Pclose);
    const std::uint64_t chunk =
        dataset.creation_properties_
            ? chunk_bytes(dataset.creation_properties_.get(), dataset.handle_.get())
            : 0;
    H5Eclear2(H5E_DEFAULT);
    if (chunk > kMaxChunkBytes) {
        throw LayoutError(dataset.where() + " is stored in chunks of " + std::to_string(chunk) +
                          " bytes; the engine reads and writes chunks of up to " +
                          std::to_string(kMaxChunkBytes) + " bytes");
    }
    return dataset;
}

std::size_t Dataset::length() const {
    ErrorPrintingOff quiet;
    Handle space(H5Dget_space(handle_.get()), H5Sclose);
    hsize_t dims[1] = {0};
    if (!space || H5Sget_simple_extent_dims(space.get(), dims, nullptr) != 1) {
        throw_with_hdf5_message<IoError>("unable to read the length of " + where());
    }
    return static_cast<std::size_t>(dims[0]);
}

const RecordLayout& Dataset::layout() const {
    if (layout_) return *layout_;
    ErrorPrintingOff quiet;
    Handle type(H5Dget_type(handle_.get()), H5Tclose);
    if (!type) throw_with_hdf5_message<IoError>("unable to read the type of " + where());
    try {
        layout_ = Datatype(std::move(type)).layout();
    } catch (const LayoutError& e) {
        throw LayoutError(where() + ": " + e.what());
    }
    return *layout_;
}

const Datatype& Dataset::memory_type() const {
    if (!memory_type_) memory_type_ = Datatype::from_layout(layout());
    return *memory_type_;
}

const ChunkStorage& Dataset::chunk_storage() const {
    if (chunk_storage_) return *chunk_storage_;
    ErrorPrintingOff quiet;
    if (!creation_properties_) {
        Handle dcpl(H5Dget_create_plist(handle_.get()), H5Pclose);
        if (!dcpl) throw_with_hdf5_message<IoError>("unable to read the storage of " + where());
        creation_properties_ = std::move(dcpl);
    }
    const hid_t dcpl = creation_properties_.get();
    ChunkStorage storage;
    hsize_t chunk[1] = {0};
    if (H5Pget_layout(dcpl) == H5D_CHUNKED && H5Pget_chunk(dcpl, 1, chunk) == 1) {
        storage.rows = static_cast<std::size_t>(chunk[0]);
        read_filters(dcpl, storage);
        Handle stored_type(H5Dget_type(handle_.get()), H5Tclose);
        storage.same_type =
            stored_type && H5Tequal(stored_type.get(), memory_type().handle().get()) > 0;
        if (storage.filters.size() == 1 && storage.filters[0].id == H5Z_FILTER_DEFLATE &&
            storage.same_type) {
            std::vector<unsigned char> fill(layout().itemsize(), 0xff);
            storage.direct = H5Pget_fill_value(dcpl, memory_type().handle().get(), fill.data()) >= 0 &&
                             all_zero(fill);
        }
    }
    H5Eclear2(H5E_DEFAULT);
    chunk_storage_ = storage;
    return *chunk_storage_;
}

void Dataset::set_length(std::size_t rows) {
    // HDF5 fills what a cut removes from the chunk it keeps; growth adds
    // rows that read as zeros, as the kept chunk has them.
    if (rows < kept_chunk_.length) kept_chunk_.raw.clear();
    const hsize_t dims[1] = {rows};
    if (H5Dset_extent(handle_.get(), dims) < 0) {
        kept_chunk_.raw.clear();
        throw_with_hdf5_message<IoError>("unable to resize " + where() + " to " +
                                         std::to_string(rows) + " rows");
    }
    kept_chunk_.length = rows;
}

void Dataset::append(const RecordsView& records) {
    ErrorPrintingOff quiet;
    const RecordLayout& stored = layout();
    if (records.layout != stored) {
        throw LayoutError("records " + records.layout.describe() + " do not match " + where() +
                          " " + stored.describe());
    }
    if (records.rows == 0) return;
    const std::size_t before = length();
    set_length(before + records.rows);
    try {
        detail::write_rows(*this, before, records, detail::LastChunk::grows);
    } catch (...) {
        try {
            set_length(before);
        } catch (const Error&) {
            // The write's failure is the one to report.
        }
        throw;
    }
}

void Dataset::shrink(std::size_t rows) {
    ErrorPrintingOff quiet;
    const std::size_t now = length();
    if (rows > now) {
        throw ArgumentError("cannot shrink " + where() + " from " + std::to_string(now) + " to " +
                            std::to_string(rows) + " rows");
    }
    if (rows < now) set_length(rows);
}

void Dataset::read(std::size_t first, std::size_t count, void* out) const {
    ErrorPrintingOff quiet;
    const std::size_t rows = length();
    if (first > rows || count > rows - first) {
        throw ArgumentError("rows " + std::to_string(first) + " to " + std::to_string(first + count) +
                            " are outside " + where() + " (" + std::to_string(rows) + " rows)");
    }
    if (count == 0) return;
    if (detail::read_stored_rows(*this, first, count, static_cast<unsigned char*>(out))) return;
    Handle file_space(H5Dget_space(handle_.get()), H5Sclose);
    const hsize_t start[1] = {first};
    const hsize_t size[1] = {count};
    Handle memory_space(H5Screate_simple(1, size, nullptr), H5Sclose);
    if (!file_space || !memory_space ||
        H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, size, nullptr) < 0 ||
        H5Dread(handle_.get(), memory_type().handle().get(), memory_space.get(), file_space.get(),
                H5P_DEFAULT, out) < 0) {
        throw_with_hdf5_message<IoError>("unable to read " + std::to_string(count) +
                                         " rows at row " + std::to_string(first) + " of " + where());
    }
}

bool Dataset::read_last(void* out) const {
    const std::size_t rows = length();
    if (rows == 0) return false;
    read(rows - 1, 1, out);
    return true;
}

}  // namespace corvane
