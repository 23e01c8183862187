// corvane._engine: numpy structured arrays in and out, engine calls, and one
// table from engine exceptions to Python exceptions. No behaviour of its own.
#include "corvane/bar_fold.hpp"
#include "corvane/bar_records.hpp"
#include "corvane/bar_screen.hpp"
#include "corvane/dataset.hpp"
#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "corvane/guarded_file.hpp"
#include "corvane/handle.hpp"
#include "corvane/journal.hpp"
#include "corvane/layout.hpp"
#include "corvane/lengths.hpp"
#include "corvane/minbar_store.hpp"
#include "corvane/reader.hpp"
#include "corvane/records.hpp"
#include "corvane/revision.hpp"
#include "corvane/segment.hpp"
#include "corvane/tick_store.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace corvane;

#ifdef CORVANE_HOOKS
// The benchmark and test switches (hooks.cpp), built in only with the
// CORVANE_HOOKS option: a product build has none.
void add_hooks(nb::module_& m);
#endif

namespace {

nb::module_ numpy() { return nb::module_::import_("numpy"); }

// A Python buffer held for as long as the engine reads or writes its bytes.
class Buffer {
public:
    Buffer(nb::handle object, int flags) {
        if (PyObject_GetBuffer(object.ptr(), &view_, flags) != 0) throw nb::python_error();
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    void* data() const { return view_.buf; }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// The record layout of a structured numpy dtype, field by field, with its
// offsets and itemsize. Refuses, naming the field, what is not a plain number.
// Sets `big_endian` when a field must be converted to little-endian first.
RecordLayout layout_of_dtype(nb::handle dtype, bool& big_endian) {
    nb::object names = dtype.attr("names");
    if (names.is_none()) {
        throw LayoutError("records must be a structured array, not of dtype " +
                          nb::cast<std::string>(nb::str(dtype)));
    }
    nb::object fields = dtype.attr("fields");
    std::vector<Field> result;
    for (nb::handle name_object : names) {
        const std::string name = nb::cast<std::string>(name_object);
        nb::object entry = fields[name_object];
        nb::object field_dtype = entry[0];
        const std::size_t offset = nb::cast<std::size_t>(entry[1]);
        if (!field_dtype.attr("names").is_none()) {
            throw LayoutError("field '" + name + "' is a nested record; only numbers are stored");
        }
        if (!field_dtype.attr("subdtype").is_none()) {
            throw LayoutError("field '" + name + "' is a sub-array; only single numbers are stored");
        }
        const std::string kind = nb::cast<std::string>(field_dtype.attr("kind"));
        const std::size_t size = nb::cast<std::size_t>(field_dtype.attr("itemsize"));
        const std::string order = nb::cast<std::string>(field_dtype.attr("byteorder"));
        if (kind != "i" && kind != "u" && kind != "f") {
            throw LayoutError("field '" + name + "' has the non-numeric type " +
                              nb::cast<std::string>(nb::str(field_dtype)));
        }
        if (order == ">") big_endian = true;
        FieldType type;
        try {
            type = field_type_from_code("<" + kind + std::to_string(size));
        } catch (const LayoutError&) {
            throw LayoutError("field '" + name + "' has the unsupported type " +
                              nb::cast<std::string>(nb::str(field_dtype)));
        }
        result.push_back(Field{name, type, offset});
    }
    return RecordLayout(std::move(result), nb::cast<std::size_t>(dtype.attr("itemsize")));
}

// A 1-D structured array as the engine's records, contiguous and
// little-endian (big-endian fields are converted on a copy).
class InputRecords {
public:
    explicit InputRecords(nb::handle records) {
        nb::module_ np = numpy();
        if (!nb::isinstance(records, np.attr("ndarray"))) {
            throw LayoutError("records must be a numpy structured array");
        }
        if (nb::cast<int>(records.attr("ndim")) != 1) {
            throw ArgumentError("records must be a one-dimensional array");
        }
        nb::object dtype = records.attr("dtype");
        bool big_endian = false;
        layout_.emplace(layout_of_dtype(dtype, big_endian));
        nb::object array = nb::borrow(records);
        if (big_endian) array = array.attr("astype")(dtype.attr("newbyteorder")("<"));
        array_ = np.attr("ascontiguousarray")(array);
        buffer_.emplace(array_, PyBUF_C_CONTIGUOUS);
        rows_ = nb::cast<std::size_t>(array_.attr("shape")[0]);
    }

    RecordsView view() const { return RecordsView{*layout_, buffer_->data(), rows_}; }

private:
    std::optional<RecordLayout> layout_;
    nb::object array_;
    std::optional<Buffer> buffer_;
    std::size_t rows_ = 0;
};

nb::object make_dtype(const RecordLayout& layout) {
    nb::list names, formats, offsets;
    for (const Field& f : layout.fields()) {
        names.append(f.name);
        formats.append(type_code(f.type));
        offsets.append(f.offset);
    }
    nb::dict spec;
    spec["names"] = names;
    spec["formats"] = formats;
    spec["offsets"] = offsets;
    spec["itemsize"] = layout.itemsize();
    return numpy().attr("dtype")(spec);
}

// numpy's dtype of a layout, made once a layout: making one costs more than
// reading a small dataset. Kept beside the names it was made with, since a
// structured dtype's names can be set in place by whoever holds it. The
// cache lives as long as the process (a file holds a handful of layouts).
nb::object dtype_of(const RecordLayout& layout) {
    static nb::handle made = nb::dict().release();
    std::string key = std::to_string(layout.itemsize());
    for (const Field& f : layout.fields()) {
        key += ';' + std::to_string(f.name.size()) + ':' + f.name + type_code(f.type) + '@' + std::to_string(f.offset);
    }
    nb::bytes name(key.data(), key.size());
    nb::dict cache = nb::borrow<nb::dict>(made);
    if (cache.contains(name)) {
        nb::tuple kept = nb::borrow<nb::tuple>(cache[name]);
        if (kept[0].attr("names").is(kept[1])) return kept[0];
    }
    nb::object dtype = make_dtype(layout);
    cache[name] = nb::make_tuple(dtype, dtype.attr("names"));
    return dtype;
}

std::string fs_path(nb::handle path) {
    nb::bytes encoded(nb::module_::import_("os").attr("fsencode")(path));
    return std::string(encoded.c_str(), encoded.size());
}

nb::object fs_decode(const std::string& path) {
    return nb::module_::import_("os").attr("fsdecode")(nb::bytes(path.data(), path.size()));
}

// Python's slice rules for one bound: negative counts from the end, clamped.
std::size_t slice_bound(std::int64_t value, std::size_t rows) {
    const auto n = static_cast<std::int64_t>(rows);
    if (value < 0) value += n;
    if (value < 0) value = 0;
    if (value > n) value = n;
    return static_cast<std::size_t>(value);
}

// Lets other Python threads run during the engine's HDF5 calls when HDF5
// takes calls from several threads; otherwise the GIL keeps them apart.
class WithoutGil {
public:
    WithoutGil() {
        if (hdf5_is_threadsafe()) released_.emplace();
    }

private:
    std::optional<nb::gil_scoped_release> released_;
};

// `mutex`, waited for without the GIL, so that the thread holding it can
// take the GIL back.
std::unique_lock<std::mutex> lock_without_gil(std::mutex& mutex) {
    std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        nb::gil_scoped_release unlocked;
        lock.lock();
    }
    return lock;
}

// One open File, used from any number of Python threads one call at a time:
// the engine's File is not thread-safe, and the GIL is released while it
// works (a close() from another thread must wait for an append to finish,
// not commit half of it).
class PyFile {
public:
    PyFile(nb::handle path, bool durable) : file_(fs_path(path), durable), durable_(durable) {}

    // Exclusive use of the file for one call.
    std::unique_lock<std::mutex> exclusive() { return lock_without_gil(mutex_); }

    nb::object path() const {
        return nb::module_::import_("os").attr("fsdecode")(nb::bytes(file_.path().data(), file_.path().size()));
    }

    void close() {
        auto lock = exclusive();
        WithoutGil unlocked;
        file_.close();
    }

    void abort() {
        auto lock = exclusive();
        WithoutGil unlocked;
        file_.abort();
    }

    std::vector<std::string> members() {
        auto lock = exclusive();
        return file_.members();
    }

    bool contains(const std::string& name) {
        auto lock = exclusive();
        return file_.contains(name);
    }

    void remove(const std::string& name) {
        auto lock = exclusive();
        file_.remove(name);
    }

    std::size_t length(const std::string& name) {
        auto lock = exclusive();
        return file_.dataset(name).length();
    }

    // What a minute-bar job reads of its file before it writes, in one call: (root members, rows
    // of "data", rows of "index", the "date" of the index's last row). With any member besides
    // those two the counts and the date are None, and no dataset is opened (the job refuses the
    // file); the date is None too when the index holds no rows or no integer "date".
    nb::tuple minbar_held() {
        auto lock = exclusive();
        const std::vector<std::string> names = file_.members();
        const auto held = [&names](const char* name) { return std::find(names.begin(), names.end(), name) != names.end(); };
        const bool data = held(kData), index = held(kIndex);
        if (names.size() != static_cast<std::size_t>(data) + static_cast<std::size_t>(index)) {
            return nb::make_tuple(names, nb::none(), nb::none(), nb::none());
        }
        const std::size_t data_rows = data ? file_.dataset(kData).length() : 0;
        const std::size_t index_rows = index ? file_.dataset(kIndex).length() : 0;
        return nb::make_tuple(names, data_rows, index_rows, index_rows ? last_date(file_.dataset(kIndex)) : nb::none());
    }

    void shrink(const std::string& name, std::int64_t length) {
        if (length < 0) throw ArgumentError("length must not be negative");
        auto lock = exclusive();
        file_.begin_writing();
        file_.dataset(name).shrink(static_cast<std::size_t>(length));
    }

    void create_dataset(const std::string& name, nb::handle records) {
        InputRecords input(records);
        auto lock = exclusive();
        WithoutGil unlocked;
        Dataset::create(file_, name, input.view());
    }

    void append(const std::string& name, nb::handle records) {
        InputRecords input(records);
        auto lock = exclusive();
        WithoutGil unlocked;
        file_.begin_writing();
        file_.dataset(name).append(input.view());
    }

    nb::object read(const std::string& name, std::int64_t start, std::optional<std::int64_t> stop) {
        auto lock = exclusive();
        return read_locked(file_.dataset(name), start, stop);
    }

    nb::object read_last(const std::string& name) {
        auto lock = exclusive();
        const Dataset& dataset = file_.dataset(name);
        const std::size_t rows = dataset.length();
        if (rows == 0) return nb::none();
        nb::object out = read_locked(dataset, static_cast<std::int64_t>(rows) - 1, std::nullopt);
        return out[0];
    }

    void append_minbar(nb::handle index, nb::handle data) {
        InputRecords index_records(index);
        InputRecords data_records(data);
        auto lock = exclusive();
        WithoutGil unlocked;
        corvane::append_minbar(file_, index_records.view(), data_records.view());
    }

    void write_day(const std::string& name, nb::handle records) {
        InputRecords input(records);
        auto lock = exclusive();
        WithoutGil unlocked;
        corvane::write_day(file_, name, input.view());
    }

    std::uint64_t revise_minbar(std::int32_t from_date, nb::handle index, nb::handle data, nb::handle side) {
        InputRecords index_records(index);
        InputRecords data_records(data);
        const SideStore store{fs_path(side), durable_};
        auto lock = exclusive();
        WithoutGil unlocked;
        return corvane::revise_minbar(file_, from_date, index_records.view(), data_records.view(), store);
    }

    std::uint64_t revise_days(const std::vector<std::pair<std::string, nb::handle>>& days, nb::handle side) {
        std::vector<std::unique_ptr<InputRecords>> inputs;
        std::vector<DayRecords> views;
        for (const auto& [name, records] : days) {
            inputs.push_back(std::make_unique<InputRecords>(records));
            views.push_back(DayRecords{name, inputs.back()->view()});
        }
        const SideStore store{fs_path(side), durable_};
        auto lock = exclusive();
        WithoutGil unlocked;
        return corvane::revise_days(file_, views, store);
    }

private:
    // The integer "date" of the dataset's last row; None without such a field or row.
    static nb::object last_date(const Dataset& dataset) {
        const RecordLayout& layout = dataset.layout();
        const auto field = std::find_if(layout.fields().begin(), layout.fields().end(),
                                        [](const Field& f) { return f.name == "date"; });
        if (field == layout.fields().end() || is_float(field->type)) return nb::none();
        std::vector<unsigned char> row(layout.itemsize());
        if (!dataset.read_last(row.data())) return nb::none();
        const unsigned char* at = row.data() + field->offset;
        const auto load = [at](auto value) {
            std::memcpy(&value, at, sizeof value);
            return nb::int_(value);
        };
        switch (field->type) {
            case FieldType::i8: return load(std::int8_t{});
            case FieldType::i16: return load(std::int16_t{});
            case FieldType::i32: return load(std::int32_t{});
            case FieldType::i64: return load(std::int64_t{});
            case FieldType::u8: return load(std::uint8_t{});
            case FieldType::u16: return load(std::uint16_t{});
            case FieldType::u32: return load(std::uint32_t{});
            case FieldType::u64: return load(std::uint64_t{});
            default: return nb::none();
        }
    }

    nb::object read_locked(const Dataset& dataset, std::int64_t start, std::optional<std::int64_t> stop) {
        const std::size_t rows = dataset.length();
        const std::size_t first = slice_bound(start, rows);
        std::size_t last = stop ? slice_bound(*stop, rows) : rows;
        if (last < first) last = first;
        nb::object out = numpy().attr("empty")(last - first, dtype_of(dataset.layout()));
        Buffer buffer(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        {
            WithoutGil unlocked;
            dataset.read(first, last - first, buffer.data());
        }
        return out;
    }

    File file_;
    bool durable_ = false;
    std::mutex mutex_;
};

// The Python classes of the engine's file and I/O failures, made at import.
// Each is an OSError, as these failures were before they had classes of
// their own, so that callers catching OSError keep working.
// Borrowed: the module's attributes own them for the life of the process.
struct PythonErrors {
    nb::handle file, busy, not_bundle_file, damaged, io, out_of_space;
};
PythonErrors python_errors;

nb::handle new_error_class(nb::module_& m, const char* name, nb::handle base, const char* doc) {
    const std::string qualified = std::string("corvane._engine.") + name;
    nb::object cls = nb::steal(PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base.ptr(), nullptr));
    if (!cls) throw nb::python_error();
    m.attr(name) = cls;
    return cls;
}

// Raise `cls` with the engine's message. The message's parts go into the
// exception's attributes without changing its text: `context` (what failed),
// `cause` (the root cause, "" when none), `consequence` (what became of the
// call's changes, "" when nothing is said) and, when known, `errno`.
void raise(nb::handle cls, const Error& error, int error_number = 0) {
    nb::object exc = cls(error.what());
    exc.attr("context") = error.context();
    exc.attr("cause") = error.cause();
    exc.attr("consequence") = error.consequence();
    if (error_number) exc.attr("errno") = error_number;
    PyErr_SetObject(cls.ptr(), exc.ptr());
}

void translate(const std::exception_ptr& error, void*) {
    try {
        std::rethrow_exception(error);
    } catch (const BusyError& e) {
        raise(python_errors.busy, e);
    } catch (const NotBundleFileError& e) {
        raise(python_errors.not_bundle_file, e);
    } catch (const DamagedFileError& e) {
        raise(python_errors.damaged, e);
    } catch (const FileError& e) {
        raise(python_errors.file, e);
    } catch (const OutOfSpaceError& e) {
        raise(python_errors.out_of_space, e, e.error_number());
    } catch (const IoError& e) {
        // A full disk met where the engine reported a plain I/O failure (a
        // write of the journal or the file, failing inside HDF5 or as the
        // call closes) is still a full disk to the caller.
        raise(is_out_of_space(e.error_number()) ? python_errors.out_of_space : python_errors.io, e,
              e.error_number());
    } catch (const NotFound& e) {
        raise(PyExc_KeyError, e);
    } catch (const LayoutError& e) {
        raise(PyExc_TypeError, e);
    } catch (const ArgumentError& e) {
        raise(PyExc_ValueError, e);
    } catch (const RowLimitError& e) {
        raise(PyExc_OverflowError, e);
    } catch (const Error& e) {
        raise(PyExc_RuntimeError, e);
    }
}

nb::dict layouts() {
    const std::pair<const char*, const RecordLayout*> named[] = {
        {"EQUITIES_DTYPE", &equities_layout()},
        {"DERIVATIVES_DTYPE", &derivatives_layout()},
        {"INDEX_DTYPE", &index_layout()},
    };
    nb::dict result;
    for (const auto& [name, layout] : named) {
        nb::list fields;
        for (const Field& f : layout->fields()) {
            fields.append(nb::make_tuple(f.name, type_code(f.type), f.offset));
        }
        nb::dict entry;
        entry["fields"] = fields;
        entry["itemsize"] = layout->itemsize();
        result[name] = entry;
    }
    return result;
}


bool is_utf8(const std::string& text);

nb::dict history_names() {
    nb::dict cuts, rows, result;
    cuts["data"] = segment_names::kCutDataRow;
    cuts["index"] = segment_names::kCutIndexRow;
    rows["data"] = segment_names::kDataRows;
    rows["index"] = segment_names::kIndexRows;
    result["segment_suffix"] = segment_names::kSuffix;
    result["segment_digits"] = segment_names::kDigits;
    result["cut_attributes"] = cuts;
    result["row_attributes"] = rows;
    return result;
}

nb::dict py_segment_facts(nb::handle path) {
    const SegmentFacts facts = segment_facts(fs_path(path));
    nb::dict result;
    for (const std::string& name : facts.members) {
        if (!is_utf8(name)) throw DamagedFileError("a member name of '" + fs_path(path) + "' is not UTF-8 text");
    }
    if (facts.kind == SegmentFacts::Kind::minbar) {
        nb::dict cuts;
        cuts["data"] = facts.cut_data_row;
        cuts["index"] = facts.cut_index_row;
        result["kind"] = "minbar";
        result["cuts"] = cuts;
    } else {
        result["kind"] = "tick";
        result["days"] = nb::cast(facts.days);
    }
    result["members"] = nb::cast(facts.members);
    return result;
}

// ================================================================ reading a bundle back
// corvane.read's way into files: a read-only file under a reader's shared
// lock, rows read field by field into arrays numpy allocated.

// Whether `text` decodes as Python decodes names (strict UTF-8).
bool is_utf8(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (decoded == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(decoded);
    return true;
}

class PyReader {
public:
    PyReader(nb::handle path, double lock_wait) {
        const std::string name = fs_path(path);
        if (!(lock_wait >= 0 && lock_wait <= 3600)) throw ArgumentError("lock_wait must be 0 to 3600 seconds");
        WithoutGil unlocked;  // may wait for a writer's landing
        file_.emplace(name, std::chrono::milliseconds(static_cast<std::int64_t>(lock_wait * 1000)));
    }

    std::unique_lock<std::mutex> exclusive() { return lock_without_gil(mutex_); }

    void close() {
        auto lock = exclusive();
        datasets_.clear();
        file_->close();
    }

    std::vector<std::string> members() {
        auto lock = exclusive();
        std::vector<std::string> names = file_->members();
        for (const std::string& name : names) {
            if (!is_utf8(name)) {
                throw DamagedFileError("a member name of '" + file_->path() + "' is not UTF-8 text");
            }
        }
        return names;
    }

    bool contains(const std::string& name) {
        auto lock = exclusive();
        return file_->contains(name);
    }

    std::size_t length(const std::string& name) {
        auto lock = exclusive();
        return dataset(name).length();
    }

    nb::object dtype(const std::string& name) {
        auto lock = exclusive();
        return dtype_of(dataset(name).layout());
    }

    std::size_t chunk_rows(const std::string& name) {
        auto lock = exclusive();
        return dataset(name).chunk_storage().rows;
    }

    nb::object read(const std::string& name, std::int64_t start, std::optional<std::int64_t> stop,
                    unsigned threads) {
        auto lock = exclusive();
        const Dataset& records = dataset(name);
        const std::size_t rows = records.length();
        const std::size_t first = slice_bound(start, rows);
        const std::size_t last = std::max(first, stop ? slice_bound(*stop, rows) : rows);
        nb::object out = numpy().attr("empty")(last - first, dtype_of(records.layout()));
        Buffer buffer(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        // The whole record is one column.
        const std::vector<ColumnTarget> whole{{0, records.layout().itemsize(), buffer.data()}};
        WithoutGil unlocked;
        read_columns(records, first, last - first, whole, threads);
        return out;
    }

    // Rows [start, stop) of `name` into `columns`: (field, array, decode),
    // decode as decode_of() takes it.
    void read_into(const std::string& name, std::size_t start, std::size_t stop, nb::list columns,
                   unsigned threads) {
        auto lock = exclusive();
        const Dataset& records = dataset(name);
        const std::size_t count = stop > start ? stop - start : 0;
        std::vector<ColumnTarget> targets;
        std::vector<std::unique_ptr<Buffer>> buffers;
        for (nb::handle entry : columns) {
            const std::string field_name = nb::cast<std::string>(entry[0]);
            const Field& field = field_of(records, field_name);
            buffers.push_back(std::make_unique<Buffer>(entry[1], PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
            ColumnTarget target{field.offset, size_of(field.type), buffers.back()->data()};
            decode_of(records, field, entry[2], target);
            if (buffers.back()->size() != count * (target.decode == ColumnTarget::Decode::copy ? target.size : 8)) {
                throw ArgumentError("the array for '" + field_name + "' must hold " + std::to_string(count) +
                                    " values of its field's size");
            }
            targets.push_back(target);
        }
        WithoutGil unlocked;
        read_columns(records, start, count, targets, threads);
    }

    // Rows of `name` from `start` on, day_rows[d] of trading date d, gathered
    // into longer bars (fold_bars): (bucket ends, dates' positions, [column])
    // as int64 arrays and one of each field's type; fields are (field, how).
    nb::tuple fold_bars(const std::string& name, std::size_t start, const std::vector<std::size_t>& day_rows,
                        const std::vector<std::pair<std::string, std::string>>& fields, const std::string& time,
                        unsigned minutes, unsigned threads) {
        static const std::map<std::string, Gather> ways{{"first", Gather::first}, {"max", Gather::max},
                                                        {"min", Gather::min}, {"last", Gather::last},
                                                        {"sum", Gather::sum}};
        auto lock = exclusive();
        const Dataset& records = dataset(name);
        std::vector<FoldField> wanted;
        for (const auto& [field_name, how] : fields) {
            const auto way = ways.find(how);
            if (way == ways.end()) throw ArgumentError("no way of gathering called '" + how + "'");
            const Field& field = field_of(records, field_name);
            wanted.push_back(FoldField{field.offset, field.type, way->second});
        }
        const std::size_t time_offset = minutes ? field_of(records, time).offset : 0;
        FoldedBars folded;
        {
            WithoutGil unlocked;
            folded = corvane::fold_bars(records, start, day_rows, time_offset, wanted, minutes, threads);
        }
        // The arrays are made at their size, then filled without the GIL.
        std::vector<std::unique_ptr<Buffer>> held;
        const auto array = [&](const std::string& code, std::size_t size) {
            nb::object out = numpy().attr("empty")(size, code);
            held.push_back(std::make_unique<Buffer>(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
            return out;
        };
        nb::object ends = array("<i8", minutes ? folded.size() : 0);
        nb::object days = array("<i8", folded.size());
        nb::list columns;
        std::vector<std::uint64_t*> targets;
        for (const FoldField& field : wanted) {
            columns.append(array(type_code(field.type), folded.size()));
            targets.push_back(static_cast<std::uint64_t*>(held.back()->data()));
        }
        {
            WithoutGil unlocked;
            folded.join_into(minutes ? static_cast<std::int64_t*>(held[0]->data()) : nullptr,
                             static_cast<std::int64_t*>(held[1]->data()), targets);
        }
        return nb::make_tuple(ends, days, columns);
    }

private:
    static const Field& field_of(const Dataset& records, const std::string& name) {
        for (const Field& field : records.layout().fields()) {
            if (field.name == name) return field;
        }
        throw ArgumentError("no field '" + name + "' in " + records.where());
    }

    // Sets `target`'s decode from the (field, array, decode) entry's `decode`.
    static void decode_of(const Dataset& records, const Field& field, nb::handle decode, ColumnTarget& target) {
        if (nb::isinstance<nb::float_>(decode)) {
            if (field.type != FieldType::i32) {
                throw ArgumentError("only an '<i4' field is divided, not '" + field.name + "' of " + records.where());
            }
            target.decode = ColumnTarget::Decode::divided;
            target.divisor = nb::cast<double>(decode);
            return;
        }
        const std::string name = nb::cast<std::string>(decode);
        if (name == "bar_time") {
            target.decode = ColumnTarget::Decode::bar_time_ns;
        } else if (name == "tick_time") {
            // The date field and the clock right after it, read as one.
            const Field* clock = nullptr;
            for (const Field& f : records.layout().fields()) {
                if (f.offset == field.offset + 4) clock = &f;
            }
            if (field.type != FieldType::u32 || clock == nullptr || clock->type != FieldType::u32) {
                throw ArgumentError("'" + field.name + "' of " + records.where() +
                                    " is no '<u4' date followed by a '<u4' clock");
            }
            target.decode = ColumnTarget::Decode::tick_time_ns;
            target.size = 8;
        } else if (!name.empty()) {
            throw ArgumentError("decode must be '', 'bar_time', 'tick_time' or a divisor, not '" + name + "'");
        }
    }

    // A stored member the engine cannot take as records makes the file a
    // damaged one to a reader: nothing of it is read.
    const Dataset& dataset(const std::string& name) {
        auto found = datasets_.find(name);
        if (found == datasets_.end()) {
            try {
                auto opened = std::make_unique<Dataset>(file_->dataset(name));
                opened->layout();
                found = datasets_.emplace(name, std::move(opened)).first;
            } catch (const LayoutError& e) {
                throw DamagedFileError(e.what());
            }
        }
        return *found->second;
    }

    std::optional<ReadOnlyFile> file_;
    // Closed before the file.
    std::map<std::string, std::unique_ptr<Dataset>> datasets_;
    std::mutex mutex_;
};

void bind_reader(nb::module_& m) {
    nb::class_<PyReader>(m, "Reader")
        .def(nb::init<nb::handle, double>(), nb::arg("path"),
             nb::arg("lock_wait") = std::chrono::duration<double>(kReaderLockWait).count(),
             "Open the bundle file at path read-only, under the shared lock an HDF5 reader\n"
             "takes (an update beside it writes a new version instead of changing this one),\n"
             "waiting up to lock_wait seconds while a writer holds it (BusyError after).")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__exit__", [](PyReader& reader, nb::args) { reader.close(); })
        .def("close", &PyReader::close)
        .def("members", &PyReader::members)
        .def("__contains__", &PyReader::contains)
        .def("length", &PyReader::length, nb::arg("name"))
        .def("dtype", &PyReader::dtype, nb::arg("name"))
        .def("chunk_rows", &PyReader::chunk_rows, nb::arg("name"),
             "Rows per chunk of a dataset; 0 when it is not chunked.")
        .def("read", &PyReader::read, nb::arg("name"), nb::arg("start") = 0,
             nb::arg("stop").none() = nb::none(), nb::arg("threads") = 0,
             "Rows [start:stop] of a dataset as a structured array.")
        .def("read_into", &PyReader::read_into, nb::arg("name"), nb::arg("start"), nb::arg("stop"),
             nb::arg("columns"), nb::arg("threads") = 0,
             "Rows [start, stop) of a dataset into arrays, field by field: columns is a list\n"
             "of (field, array, decode), decode '' or 'bar_time' (into datetime64[ns]), 'tick_time'\n"
             "(a '<u4' date and the '<u4' HHMMSSmmm after it into datetime64[ns]) or a float (an\n"
             "'<i4' divided by it into float64). Only\n"
             "the chunks holding those rows are read, inflated on threads (0: one per core).")
        .def("fold_bars", &PyReader::fold_bars, nb::arg("name"), nb::arg("start"), nb::arg("day_rows"),
             nb::arg("fields"), nb::arg("time") = "datetime", nb::arg("minutes") = 0, nb::arg("threads") = 0,
             "Rows of a dataset from start on, day_rows[d] of trading date d, gathered into\n"
             "longer bars as their chunks are inflated: one a date (minutes 0) or one a bucket\n"
             "of minutes of each session. fields is a list of (field, how), how one of first,\n"
             "max, min, last, sum. Gives (bucket ends in ns, each bar's date as a position in\n"
             "day_rows, [column of each field]).");
}

// ================================================================ end of reading a bundle back

// ================================================================ what writers left
// For the tools that look for an interrupted update's leftovers: the names
// and the lock state come from here, where the writers take them from.

// The writer lock of `path`: None without a lock file, "live" while a writer
// holds it, "stale" when none does (a killed writer's), "foreign" when it is
// no regular file or a link. Tested with a shared flock() of our own, which
// never takes the lock from its holder and never blocks.
nb::object lock_state(const std::string& path) {
    const std::string lock = GuardedFile::lock_path_for(path);
    const int fd = ::open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? nb::object(nb::none()) : nb::object(nb::str("foreign"));
    struct stat st {};
    const char* state = "foreign";
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        state = ::flock(fd, LOCK_SH | LOCK_NB) == 0 ? "stale" : (errno == EWOULDBLOCK ? "live" : "foreign");
    }
    ::close(fd);
    return nb::str(state);
}

// {kind: path} of every companion file an update of `path` may leave.
std::map<std::string, std::string> companions(const std::string& path) {
    return {{"journal", Journal::path_for(path)},
            {"temporary", GuardedFile::temporary_path_for(path)},
            {"lock", GuardedFile::lock_path_for(path)}};
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// (kind, owner) when the directory entry `entry` is a companion of the file
// `owner` (a name ending in `suffix`) in the same directory; None otherwise.
// The owner's name lies in the entry, ending at an occurrence of `suffix`.
nb::object companion_of(const std::string& entry, const std::string& suffix) {
    if (suffix.empty()) return nb::none();
    for (std::size_t at = entry.find(suffix); at != std::string::npos; at = entry.find(suffix, at + 1)) {
        const std::size_t end = at + suffix.size();
        for (std::size_t begin = 0; begin < at; ++begin) {
            const std::string owner = entry.substr(begin, end - begin);
            for (const auto& [kind, companion] : companions(owner)) {
                if (base_name(companion) == entry) return nb::make_tuple(kind, owner);
            }
        }
    }
    return nb::none();
}

// A record type the quality screen has met: its dtype, the field names it had then (a caller
// may rename a dtype's fields in place) and its layout.
struct ScreenedType {
    nb::object dtype, names;
    std::unique_ptr<RecordLayout> layout;
};

// The layout of `dtype`, kept with it (a few module constants in practice): reading a dtype's
// fields again costs more than the screen itself. Never freed, so that no dtype is released
// after the interpreter ends. Past a handful of types the layout is made into `fresh` each
// time; nullptr for a type that must be byte-swapped first.
const RecordLayout* screened_layout(nb::handle dtype, std::optional<RecordLayout>& fresh) {
    static auto* kept = new std::vector<ScreenedType>();
    nb::object names = dtype.attr("names");
    for (const ScreenedType& type : *kept) {
        if (type.dtype.ptr() == dtype.ptr() && type.names.equal(names)) return type.layout.get();
    }
    bool big_endian = false;
    auto layout = std::make_unique<RecordLayout>(layout_of_dtype(dtype, big_endian));
    if (big_endian) return nullptr;
    if (kept->size() >= 16) return &fresh.emplace(std::move(*layout));
    kept->push_back({nb::borrow(dtype), names, std::move(layout)});
    return kept->back().layout.get();
}

// day_passes_checks over a one-dimensional, contiguous array of a kept record type, read in
// place; any other array through InputRecords, as every writing call takes its records.
bool screen_day(nb::handle bars, const DayBounds& day) {
    static auto* ndarray = new nb::object(numpy().attr("ndarray"));
    if (nb::isinstance(bars, *ndarray) && nb::cast<int>(bars.attr("ndim")) == 1 &&
        nb::cast<bool>(bars.attr("flags").attr("c_contiguous"))) {
        std::optional<RecordLayout> fresh;
        if (const RecordLayout* layout = screened_layout(bars.attr("dtype"), fresh)) {
            const Buffer buffer(bars, PyBUF_C_CONTIGUOUS);
            return day_passes_checks(RecordsView{*layout, buffer.data(), buffer.size() / layout->itemsize()}, day);
        }
    }
    const InputRecords records(bars);
    return day_passes_checks(records.view(), day);
}

// fill_bar_records into `records` (a fresh, contiguous array of a kept record type) from the
// wall-clock times `ns` (int64) and the float64 `columns` [(field, values)], each of its length.
void fill_bars(nb::handle records, nb::handle ns, const std::vector<std::pair<std::string, nb::object>>& columns) {
    std::optional<RecordLayout> fresh;
    const RecordLayout* layout =
        nb::cast<int>(records.attr("ndim")) == 1 ? screened_layout(records.attr("dtype"), fresh) : nullptr;
    if (!layout) throw LayoutError("records must be a one-dimensional array of little-endian fields");
    const Buffer out(records, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
    const std::size_t rows = out.size() / layout->itemsize();
    const auto type_of = [](nb::handle array) { return nb::cast<std::string>(array.attr("dtype").attr("str")); };
    if (type_of(ns) != "<i8") throw LayoutError("the times must be int64");
    const Buffer times(ns, PyBUF_C_CONTIGUOUS);
    if (times.size() != rows * sizeof(std::int64_t)) throw ArgumentError("one time a record is needed");
    std::vector<std::unique_ptr<Buffer>> held;
    std::vector<std::pair<std::string, const double*>> values;
    for (const auto& [name, column] : columns) {
        if (type_of(column) != "<f8") throw LayoutError("column '" + name + "' must be float64");
        held.push_back(std::make_unique<Buffer>(column, PyBUF_C_CONTIGUOUS));
        if (held.back()->size() != rows * sizeof(double)) throw ArgumentError("column '" + name + "' is not one value a record");
        values.emplace_back(name, static_cast<const double*>(held.back()->data()));
    }
    fill_bar_records(*layout, out.data(), rows, static_cast<const std::int64_t*>(times.data()), values);
}

}  // namespace

// The module's whole surface in one list of registrations: longer than a
// function should be, but read as a table, not as logic.
NB_MODULE(_engine, m) {
    m.doc() = "corvane's native HDF5 engine (private; used by corvane's own modules)";
    hdf5_printing_off();
    python_errors.file = new_error_class(m, "FileError", PyExc_OSError,
                                         "A bundle file cannot be opened or created.");
    python_errors.busy = new_error_class(m, "BusyError", python_errors.file,
                                         "Another writer holds the file; a later try may succeed.");
    python_errors.not_bundle_file = new_error_class(
        m, "NotBundleFileError", python_errors.file,
        "Not a bundle file at all: not a regular file, empty, or not HDF5.");
    python_errors.damaged = new_error_class(
        m, "DamagedFileError", python_errors.file,
        "An HDF5 file whose own structures cannot be read (cut short, garbled).");
    python_errors.io = new_error_class(m, "IoError", PyExc_OSError,
                                       "Reading or writing a file failed; errno says why when known.");
    python_errors.out_of_space = new_error_class(m, "OutOfSpaceError", python_errors.io,
                                                 "The disk, or the user's quota, is full.");
    nb::register_exception_translator(translate);

    nb::class_<PyFile>(m, "File")
        .def(nb::init<nb::handle, bool>(), nb::arg("path"), nb::arg("durable") = false,
             "Open the HDF5 file at path, creating it when absent; an existing file is\n"
             "read-only until the first write, which takes the writer lock.\n"
             "durable: close() returns once the writes are on disk (fsync).")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
        .def(
            "__exit__",
            [](PyFile& self, nb::handle type, nb::handle, nb::handle) {
                if (type.is_none()) {
                    self.close();
                } else {
                    self.abort();
                }
                return false;
            },
            nb::arg("exc_type").none(), nb::arg("exc").none(), nb::arg("traceback").none())
        .def("close", &PyFile::close)
        .def("abort", &PyFile::abort)
        .def_prop_ro("path", &PyFile::path)
        .def("members", &PyFile::members)
        .def("__contains__", &PyFile::contains)
        .def("remove", &PyFile::remove, nb::arg("name"))
        .def("length", &PyFile::length, nb::arg("name"))
        .def("minbar_held", &PyFile::minbar_held,
             "(root members, rows of 'data', rows of 'index', the index's last 'date') in one call; "
             "counts and date None with any other member (no dataset opened), the date None "
             "without rows or an integer 'date'.")
        .def("create_dataset", &PyFile::create_dataset, nb::arg("name"), nb::arg("records"))
        .def("append", &PyFile::append, nb::arg("name"), nb::arg("records"))
        .def("shrink", &PyFile::shrink, nb::arg("name"), nb::arg("length"))
        .def("read", &PyFile::read, nb::arg("name"), nb::arg("start") = 0,
             nb::arg("stop").none() = nb::none())
        .def("read_last", &PyFile::read_last, nb::arg("name"))
        .def("append_minbar", &PyFile::append_minbar, nb::arg("index"), nb::arg("data"))
        .def("write_day", &PyFile::write_day, nb::arg("name"), nb::arg("records"))
        .def("revise_minbar", &PyFile::revise_minbar, nb::arg("from_date"), nb::arg("index"),
             nb::arg("data"), nb::arg("side"),
             "Cut the days from from_date on and append index/data in this call; what is cut goes\n"
             "whole to the next segment in directory side first. The segment's number, 0: none.")
        .def("revise_days", &PyFile::revise_days, nb::arg("days"), nb::arg("side"),
             "Write each (name, records) day in this call; the stored ones go whole to the next\n"
             "segment in directory side first. The segment's number, 0: none.");

    m.def("layouts", &layouts,
          "The three minute-bar record layouts: {name: {'fields': [(field, code, offset)], "
          "'itemsize': n}}.");
    m.def("history_names", &history_names,
          "The names of a superseded segment, the engine's own: {'segment_suffix': the file "
          "name's ending, 'segment_digits': the zero-padded width of its number (\"000042.h5\"), "
          "'cut_attributes': {'data' | 'index': the root attribute holding the first row cut "
          "from \"data\" | \"index\"}, 'row_attributes': {'data' | 'index': the root attribute "
          "holding that dataset's rows before the cut}}.");
    m.def("segment_facts", &py_segment_facts, nb::arg("path"),
          "What the superseded segment at path holds, checked, read without a lock: "
          "{'kind': 'minbar', 'cuts': {'data': row, 'index': row}, 'members': [names]} or "
          "{'kind': 'tick', 'days': [day names, sorted], 'members': [names]}. FileError when "
          "it cannot be opened, NotBundleFileError when it is not HDF5, DamagedFileError when "
          "it is no such segment (no cut attribute nor day, a cut that is not one non-negative "
          "integer, a minute-bar segment without \"data\" or \"index\").");
    m.def("minbar_members", []() { return std::make_pair(std::string(kData), std::string(kIndex)); },
          "The names of a minute-bar file's two datasets: (bars, per-date index).");
    // The names of an interrupted update's leftovers, for the tools that look for them.
    m.def("journal_path", [](nb::handle path) { return fs_decode(Journal::path_for(fs_path(path))); },
          nb::arg("path"), "Where the rollback journal of the bundle file at path lies.");
    m.def("temporary_path",
          [](nb::handle path) { return fs_decode(GuardedFile::temporary_path_for(fs_path(path))); },
          nb::arg("path"), "Where a new bundle file at path is built before it is renamed into place.");
    m.def("lock_path",
          [](nb::handle path) { return fs_decode(GuardedFile::lock_path_for(fs_path(path))); },
          nb::arg("path"), "Where the lock file of a writer of the bundle file at path lies.");
    m.def(
        "recover",
        [](nb::handle path) {
            const GuardedFile::Leftovers found = GuardedFile::recover(fs_path(path));
            static const char* const journal[] = {"none", "rolled back", "completed", "discarded"};
            nb::dict out;
            out["journal"] = journal[static_cast<int>(found.journal)];
            out["temporary"] = found.temporary;
            out["lock"] = found.lock;
            return out;
        },
        nb::arg("path"),
        "Settle what dead writers left beside the bundle file at path, as the next open would: "
        "{'journal': 'none' | 'rolled back' | 'completed' (its update had committed and stands) | "
        "'discarded', 'temporary': removed?, 'lock': removed?}. OSError, touching nothing, while "
        "a writer works on the file.");
    m.def("lock_state", [](nb::handle path) { return lock_state(fs_path(path)); }, nb::arg("path"),
          "The writer lock of the bundle file at path: None (no lock file), 'live' (a writer "
          "holds it), 'stale' (none does) or 'foreign' (a link or no regular file).");
    m.def("companions", [](nb::handle path) { return companions(fs_path(path)); }, nb::arg("path"),
          "{'journal' | 'temporary' | 'lock': path} of the files an update of path may leave.");
    m.def("companion_of", &companion_of, nb::arg("entry"), nb::arg("suffix"),
          "(kind, owner) when the directory entry is a companion of a file named owner, ending "
          "in suffix, of the same directory; None otherwise.");
    m.def("dataset_lengths", [](nb::handle path) { return dataset_lengths(fs_path(path)); },
          nb::arg("path"),
          "{name: rows} of the root group's one-dimensional datasets; the file is opened "
          "read-only, without a lock, and nothing is written.");
    m.def(
        "day_passes_checks",
        [](nb::handle bars, std::int64_t date, std::int64_t earliest, double jump_deviations, double jump_floor,
           double mad_to_sigma) {
            return screen_day(bars, DayBounds{date, earliest, jump_deviations, jump_floor, mad_to_sigma});
        },
        nb::arg("bars"), nb::arg("date"), nb::arg("earliest"), nb::arg("jump_deviations"), nb::arg("jump_floor"),
        nb::arg("mad_to_sigma"),
        "Whether no quality check can find a row of one trading day's minute bars: prices finite "
        "and above 0 and holding together, volume and turnover 0 or more, times rising within "
        "[earliest, date], no move past the day's jump bar. False: the checks must run.");
    m.def("fill_bars", &fill_bars, nb::arg("records"), nb::arg("ns"), nb::arg("columns"),
          "Set the records' 'datetime' (<i8) to YYYYMMDDhhmmss of the wall-clock times ns (int64 "
          "nanoseconds from 1970) and each field of columns [(name, float64 values)] (<f8) to its values.");
#ifdef CORVANE_HOOKS
    add_hooks(m);
#endif
    bind_reader(m);
}
