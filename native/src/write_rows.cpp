#include "write_rows.hpp"

#include "corvane/datatype.hpp"
#include "corvane/error.hpp"

#include <hdf5.h>

namespace corvane::detail {

void write_rows(const Dataset& dataset, std::size_t first_row, const RecordsView& records) {
    if (records.rows == 0) return;
    // Today through HDF5's own deflate filter, as declared at creation.
    const Datatype memory_type = Datatype::from_layout(records.layout);
    Handle file_space(H5Dget_space(dataset.handle().get()), H5Sclose);
    if (!file_space) throw_with_hdf5_message<IoError>("unable to write " + dataset.where());
    const hsize_t start[1] = {first_row};
    const hsize_t count[1] = {records.rows};
    if (H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) < 0) {
        throw_with_hdf5_message<IoError>("unable to select rows of " + dataset.where());
    }
    Handle memory_space(H5Screate_simple(1, count, nullptr), H5Sclose);
    if (!memory_space) throw_with_hdf5_message<IoError>("unable to write " + dataset.where());
    if (H5Dwrite(dataset.handle().get(), memory_type.handle().get(), memory_space.get(),
                 file_space.get(), H5P_DEFAULT, records.bytes) < 0) {
        throw_with_hdf5_message<IoError>("unable to write " + std::to_string(records.rows) +
                                         " rows at row " + std::to_string(first_row) + " of " +
                                         dataset.where());
    }
}

}  // namespace corvane::detail
