// A one-dimensional, growable dataset of records in the root group of a file.
#pragma once

#include "corvane/datatype.hpp"
#include "corvane/file.hpp"
#include "corvane/handle.hpp"
#include "corvane/layout.hpp"
#include "corvane/records.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// How a dataset stores its chunks, as far as the engine reads and writes them.
struct ChunkStorage {
    std::size_t rows = 0;  // rows per chunk; 0 when the dataset is not chunked
    // The engine may compress and write, read and inflate whole chunks
    // itself: deflate is the only filter, the stored type is byte for byte
    // the records' layout and the fill value is all zero bytes (what pads
    // the last chunk).
    bool direct = false;
    // The filters of the pipeline in the order a writer applied them, as
    // far as the engine undoes them itself (deflate, shuffle, fletcher32):
    // a chunk of any other filter is refused, never handed to HDF5's
    // pipeline, which trusts a stream's inflated size.
    struct Filter {
        int id = 0;                    // H5Z_filter_t
        std::size_t element_size = 0;  // shuffle's
    };
    std::vector<Filter> filters;
    bool unknown_filter = false;
    // The stored record type is byte for byte the layout's (else each chunk
    // read is converted).
    bool same_type = true;
};

// One chunk's raw bytes as the engine last read them, kept by the dataset:
// a daily append reads the index's last chunk three times (the last date,
// the order check, the rows its append keeps).
struct KeptChunk {
    std::size_t first_row = 0;
    std::size_t length = 0;          // the dataset's length when they were read
    std::vector<unsigned char> raw;  // empty: none kept
};

class Dataset {
public:
    // Creates root member `name` from `records` (zero rows allowed): 1-D,
    // unlimited maximum length, chunked by chunk_rows() unless
    // `rows_per_chunk` is given, deflate level 9, no shuffle,
    // library-default fill value, no attributes.
    // Throws ArgumentError when the member exists or `name` is not a member
    // name. A failed creation leaves no member behind. Makes the file
    // writable (File::begin_writing).
    static Dataset create(File& file, const std::string& name, const RecordsView& records,
                          std::size_t rows_per_chunk = 0);
    // Opens root member `name`; NotFound when absent, LayoutError when it is
    // not a one-dimensional dataset.
    static Dataset open(const File& file, const std::string& name);
    // The same in the open HDF5 file `file` at `file_path` (a reader's).
    static Dataset open(const Handle& file, const std::string& file_path, const std::string& name);

    const std::string& name() const { return name_; }
    std::size_t length() const;
    // The stored record layout (see Datatype::layout).
    const RecordLayout& layout() const;
    // The records' type in memory: the compound type of layout().
    const Datatype& memory_type() const;
    const ChunkStorage& chunk_storage() const;

    // Extends by records.rows and writes them. LayoutError when the records'
    // layout differs from the stored one. On failure the length is set back.
    // A last chunk left partly filled is compressed fast: the next append
    // writes it again.
    void append(const RecordsView& records);
    // Cuts the dataset to `rows` rows; ArgumentError when longer than now.
    void shrink(std::size_t rows);
    // Reads rows [first, first + count) in the stored layout into `out`
    // (count * layout().itemsize() bytes). ArgumentError when out of range.
    void read(std::size_t first, std::size_t count, void* out) const;
    // Reads the last row into `out`; false (nothing read) when empty.
    bool read_last(void* out) const;

    const Handle& handle() const { return handle_; }
    // The engine's readers keep a chunk here (stored_chunks.hpp). Writes of
    // rows forget it, and so does a cut; growth leaves it true (the rows it
    // adds read as zeros until written). Changes made through another
    // Dataset object of the same member are seen only when they changed
    // its length: a call keeps one object per member (File::dataset).
    KeptChunk& kept_chunk() const { return kept_chunk_; }
    // "'name' in 'path'", for messages.
    std::string where() const;

private:
    Dataset(Handle handle, std::string name, std::string file_path);
    void set_length(std::size_t rows);

    Handle handle_;
    std::string name_;
    std::string file_path_;
    // A dataset's type and storage never change: each is read from the
    // file once, when first needed, instead of at every call.
    mutable Handle creation_properties_;
    mutable std::optional<RecordLayout> layout_;
    mutable std::optional<Datatype> memory_type_;
    mutable std::optional<ChunkStorage> chunk_storage_;
    mutable KeptChunk kept_chunk_;
};

}  // namespace corvane
