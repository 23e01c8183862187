#include "corvane/journal.hpp"

#include "corvane/error.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <random>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace corvane {

namespace {

constexpr char kMagic[8] = {'C', 'V', 'J', 'R', 'N', 'L', '0', '2'};
constexpr std::size_t kHeaderSize = 512;
constexpr std::size_t kRecordHeadSize = 24;
// The bytes of the data file that say it is a file at all (HDF5's signature).
constexpr std::size_t kSignatureSize = 8;
constexpr std::uint64_t kPageSize = 4096;
// Sampled pages: the first and last kEdgeSamples, kMiddleSamples between.
constexpr std::size_t kEdgeSamples = 8;
constexpr std::size_t kMiddleSamples = 16;
constexpr std::size_t kMaxSamples = 2 * kEdgeSamples + kMiddleSamples;
constexpr std::size_t kMaxNameBytes = 255;
// Header fields.
constexpr std::size_t kAtSampleCrcs = 48;
constexpr std::size_t kAtName = kAtSampleCrcs + 4 * kMaxSamples;
constexpr std::size_t kAtHeaderCrc = kHeaderSize - 4;
static_assert(kAtName + kMaxNameBytes < kAtHeaderCrc, "the header holds every field");
// Bounds the memory a rollback needs; larger saves are split.
constexpr std::uint64_t kMaxRecordBytes = std::uint64_t{1} << 20;

enum RecordKind : std::uint32_t { kBytes = 0, kCut = 1 };

// CRC-32C (Castagnoli), reflected, table-driven.
constexpr std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = make_crc_table();

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The SSE 4.2 instruction computes the same CRC-32C many times faster: a
// journal's start checksums sample pages on every update, a cost the table
// made a noticeable share of a daily append.
__attribute__((target("sse4.2"))) std::uint32_t crc32c_sse42(std::uint32_t state,
                                                              const unsigned char* p,
                                                              std::size_t size) {
    std::uint64_t wide = state;
    for (; size >= 8; p += 8, size -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        wide = __builtin_ia32_crc32di(wide, word);
    }
    state = static_cast<std::uint32_t>(wide);
    for (; size > 0; ++p, --size) state = __builtin_ia32_crc32qi(state, *p);
    return state;
}

// The CRC-32C values of the three pages at `pages`, interleaved.
__attribute__((target("sse4.2"))) void crc32c_three_pages(const unsigned char* pages,
                                                          std::uint32_t crcs[3]) {
    std::uint64_t a = 0xFFFFFFFFu, b = 0xFFFFFFFFu, c = 0xFFFFFFFFu;
    const unsigned char* p = pages;
    for (std::size_t at = 0; at < kPageSize; at += 8, p += 8) {
        std::uint64_t x, y, z;
        std::memcpy(&x, p, 8);
        std::memcpy(&y, p + kPageSize, 8);
        std::memcpy(&z, p + 2 * kPageSize, 8);
        a = __builtin_ia32_crc32di(a, x);
        b = __builtin_ia32_crc32di(b, y);
        c = __builtin_ia32_crc32di(c, z);
    }
    crcs[0] = ~static_cast<std::uint32_t>(a);
    crcs[1] = ~static_cast<std::uint32_t>(b);
    crcs[2] = ~static_cast<std::uint32_t>(c);
}

bool has_sse42() {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#endif

class Crc {
public:
    Crc& add(const void* bytes, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(bytes);
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
        if (has_sse42()) {
            state_ = crc32c_sse42(state_, p, size);
            return *this;
        }
#endif
        for (std::size_t i = 0; i < size; ++i) state_ = kCrcTable[(state_ ^ p[i]) & 0xFFu] ^ (state_ >> 8);
        return *this;
    }
    std::uint32_t value() const { return ~state_; }

private:
    std::uint32_t state_ = 0xFFFFFFFFu;
};

void put_u64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put_u32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint64_t get_u64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}
std::uint32_t get_u32(const unsigned char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

std::uint32_t record_checksum(std::uint64_t nonce, const unsigned char* head, const void* bytes,
                              std::size_t size) {
    unsigned char salt[8];
    put_u64(salt, nonce);
    Crc crc;
    crc.add(salt, 8).add(head, 16).add(head + 20, 4);  // the checksum itself left out
    return crc.add(bytes, size).value();
}

struct stat status_of(const Descriptor& fd, const std::string& what) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        throw IoError("cannot read the identity of '" + what + "' (" + std::strerror(errno) + ")");
    }
    return st;
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() > kMaxNameBytes) name.resize(kMaxNameBytes);
    return name;
}

std::uint64_t random_nonce() {
    std::uint64_t nonce = 0;
    // One system call; std::random_device costs a daily append several
    // times that on a virtual machine.
    if (::getentropy(&nonce, sizeof nonce) == 0) return nonce;
    std::random_device source;
    return (std::uint64_t{source()} << 32) ^ source();
}

// The pages whose checksums identify a file of `length` bytes, ascending.
std::vector<std::uint64_t> sample_pages(std::uint64_t length) {
    const std::uint64_t pages = (length + kPageSize - 1) / kPageSize;
    std::vector<std::uint64_t> out;
    if (pages <= kMaxSamples) {
        for (std::uint64_t p = 0; p < pages; ++p) out.push_back(p);
        return out;
    }
    for (std::uint64_t p = 0; p < kEdgeSamples; ++p) out.push_back(p);
    const std::uint64_t middle = pages - 2 * kEdgeSamples;
    for (std::uint64_t k = 0; k < kMiddleSamples; ++k) {
        out.push_back(kEdgeSamples + (k * middle) / kMiddleSamples);
    }
    for (std::uint64_t p = pages - kEdgeSamples; p < pages; ++p) out.push_back(p);
    return out;
}

// The CRC-32C of each of `pages` (ascending) of a file whose original
// length is `length`, as it reads now; 0 for a page the file no longer
// reaches. Pages that follow each other are read at once.
std::vector<std::uint32_t> sample_checksums(const Descriptor& data, const std::string& name,
                                            const std::vector<std::uint64_t>& pages,
                                            std::uint64_t length) {
    std::vector<std::uint32_t> out;
    out.reserve(pages.size());
    std::vector<unsigned char> run;
    for (std::size_t first = 0; first < pages.size();) {
        std::size_t end = first + 1;
        while (end < pages.size() && pages[end] == pages[end - 1] + 1) ++end;
        const std::uint64_t at = pages[first] * kPageSize;
        const std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>((end - first) * kPageSize, length - at));
        run.resize(size);
        const std::size_t got = read_at(data, at, run.data(), size, name);
        std::size_t i = first;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
        // Three whole pages at a time: the instruction's latency, not its
        // throughput, bounds one page's checksum.
        for (; has_sse42() && i + 3 <= end && (i + 3 - first) * kPageSize <= got; i += 3) {
            std::uint32_t crcs[3];
            crc32c_three_pages(run.data() + (i - first) * kPageSize, crcs);
            out.insert(out.end(), crcs, crcs + 3);
        }
#endif
        for (; i < end; ++i) {
            const std::size_t from = (i - first) * kPageSize;
            const std::size_t page_size = std::min<std::size_t>(kPageSize, size - from);
            out.push_back(from + page_size <= got ? Crc().add(run.data() + from, page_size).value() : 0);
        }
        first = end;
    }
    return out;
}

struct Header {
    std::uint64_t nonce = 0;
    std::uint64_t original_length = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::string name;
    std::vector<std::uint32_t> samples;  // one per sample_pages(original_length)
};

void encode_header(unsigned char* p, const Header& h) {
    std::memset(p, 0, kHeaderSize);
    std::memcpy(p, kMagic, sizeof kMagic);
    put_u64(p + 8, h.nonce);
    put_u64(p + 16, h.original_length);
    put_u64(p + 24, h.device);
    put_u64(p + 32, h.inode);
    put_u32(p + 40, static_cast<std::uint32_t>(h.name.size()));
    put_u32(p + 44, static_cast<std::uint32_t>(h.samples.size()));
    for (std::size_t i = 0; i < h.samples.size(); ++i) put_u32(p + kAtSampleCrcs + 4 * i, h.samples[i]);
    std::memcpy(p + kAtName, h.name.data(), h.name.size());
    put_u32(p + kAtHeaderCrc, Crc().add(p, kAtHeaderCrc).value());
}

// False for a header torn by a writer killed while starting its journal.
bool read_header(const Descriptor& journal, const std::string& name, Header& out) {
    unsigned char p[kHeaderSize];
    const std::size_t got = read_at(journal, 0, p, kHeaderSize, name);
    if (got != kHeaderSize || std::memcmp(p, kMagic, sizeof kMagic) != 0 ||
        get_u32(p + kAtHeaderCrc) != Crc().add(p, kAtHeaderCrc).value()) {
        return false;
    }
    const std::uint32_t name_size = get_u32(p + 40);
    const std::uint32_t samples = get_u32(p + 44);
    out.nonce = get_u64(p + 8);
    out.original_length = get_u64(p + 16);
    out.device = get_u64(p + 24);
    out.inode = get_u64(p + 32);
    // Counts from the file are checked before they size anything.
    if (name_size > kMaxNameBytes || samples != sample_pages(out.original_length).size()) {
        return false;
    }
    out.name.assign(reinterpret_cast<const char*>(p + kAtName), name_size);
    for (std::uint32_t i = 0; i < samples; ++i) out.samples.push_back(get_u32(p + kAtSampleCrcs + 4 * i));
    return true;
}

// Calls `visit(kind, offset, length, bytes)` for every intact record, in
// order, up to the first torn one.
template <class Visit>
void for_each_record(const Descriptor& journal, const std::string& journal_name, const Header& header,
                     Visit visit) {
    std::uint64_t at = kHeaderSize;
    std::vector<unsigned char> bytes;
    for (;;) {
        unsigned char head[kRecordHeadSize];
        if (read_at(journal, at, head, kRecordHeadSize, journal_name) != kRecordHeadSize) break;
        const std::uint64_t offset = get_u64(head);
        const std::uint64_t length = get_u64(head + 8);
        const std::uint32_t kind = get_u32(head + 20);
        if (kind == kCut) {
            if (length != 0 || offset > header.original_length) break;
        } else if (kind != kBytes || length == 0 || length > kMaxRecordBytes ||
                   offset > header.original_length || length > header.original_length - offset) {
            break;
        }
        bytes.resize(static_cast<std::size_t>(length));
        if (read_at(journal, at + kRecordHeadSize, bytes.data(), bytes.size(), journal_name) !=
            bytes.size()) {
            break;
        }
        if (get_u32(head + 16) !=
            record_checksum(header.nonce, head, bytes.data(), bytes.size())) {
            break;
        }
        visit(kind, offset, length, bytes);
        at += kRecordHeadSize + length;
    }
}

// Writes every intact record back into `data`, then cuts `data` to the
// original length. Growth written after a cut is cut first, so that bytes
// past the cut that were holes read as zeros again.
void apply(const Descriptor& journal, const std::string& journal_name, const Header& header,
           const Descriptor& data, const std::string& data_name) {
    std::uint64_t cut = header.original_length;
    for_each_record(journal, journal_name, header,
                    [&](std::uint32_t kind, std::uint64_t offset, std::uint64_t, const auto&) {
                        if (kind == kCut) cut = std::min(cut, offset);
                    });
    if (cut < header.original_length) truncate_to(data, cut, data_name);
    for_each_record(journal, journal_name, header,
                    [&](std::uint32_t kind, std::uint64_t offset, std::uint64_t,
                        const std::vector<unsigned char>& bytes) {
                        if (kind == kBytes) write_at(data, offset, bytes.data(), bytes.size(), data_name);
                    });
    truncate_to(data, header.original_length, data_name);
}

// Whether the journal belongs to the data file.
enum class Belongs { yes, no, unknown };

Belongs belongs(const Descriptor& journal, const std::string& journal_name, const Header& header,
                const Descriptor& data, const std::string& data_name) {
    const struct stat st = status_of(data, data_name);
    const bool same_inode = header.inode == static_cast<std::uint64_t>(st.st_ino) &&
                            header.device == static_cast<std::uint64_t>(st.st_dev);
    const std::vector<std::uint64_t> pages = sample_pages(header.original_length);
    std::vector<bool> held(pages.size(), false);
    for_each_record(journal, journal_name, header,
                    [&](std::uint32_t kind, std::uint64_t offset, std::uint64_t length, const auto&) {
                        // A cut holds every page from the one it falls in.
                        const std::uint64_t first = offset / kPageSize;
                        const std::uint64_t last =
                            kind == kCut ? ~std::uint64_t{0} : (offset + length - 1) / kPageSize;
                        auto it = std::lower_bound(pages.begin(), pages.end(), first);
                        for (; it != pages.end() && *it <= last; ++it) held[it - pages.begin()] = true;
                    });
    const std::vector<std::uint32_t> now =
        sample_checksums(data, data_name, pages, header.original_length);
    std::size_t checked = 0;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (held[i]) continue;
        if (now[i] != header.samples[i]) {
            // The writer never changed a page it had not saved: these bytes
            // are not the ones the journal was started for.
            return Belongs::no;
        }
        ++checked;
    }
    if (checked > 0) return Belongs::yes;
    return same_inode && header.name == base_name(data_name) ? Belongs::yes : Belongs::unknown;
}

void remove_file(const std::string& path, bool durable) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw IoError("cannot remove '" + path + "' (" + std::strerror(errno) + ")");
    }
    if (durable) sync_directory_of(path);
}

}  // namespace

std::string Journal::path_for(const std::string& path) { return hidden_companion(path, ".journal"); }

Journal::Journal(std::string path, Descriptor fd, std::string data_name, std::uint64_t nonce,
                 std::uint64_t original_length, bool durable)
    : path_(std::move(path)),
      fd_(std::move(fd)),
      data_name_(std::move(data_name)),
      nonce_(nonce),
      original_length_(original_length),
      end_(kHeaderSize),
      durable_(durable) {}

Journal Journal::start(const std::string& path, const Descriptor& data, const std::string& data_name,
                       bool durable) {
    const struct stat st = status_of(data, data_name);
    // Exclusive and without following a link: whatever sits at the journal's
    // name now is not ours to write the file's pages into. The data file's
    // permissions, so that its pages are no more readable in the journal.
    const mode_t mode = st.st_mode & 0777;
    Descriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd) {
        throw IoError("cannot create the journal '" + path + "' (" + std::strerror(errno) + ")");
    }
    Header header;
    header.nonce = random_nonce();
    header.original_length = static_cast<std::uint64_t>(st.st_size);
    header.device = static_cast<std::uint64_t>(st.st_dev);
    header.inode = static_cast<std::uint64_t>(st.st_ino);
    header.name = base_name(data_name);
    header.samples = sample_checksums(data, data_name, sample_pages(header.original_length),
                                      header.original_length);
    unsigned char p[kHeaderSize];
    encode_header(p, header);
    try {
        // The umask may have narrowed the mode; never widen it past the data file's.
        if (::fchmod(fd.get(), mode) != 0) {
            throw IoError("cannot set the permissions of '" + path + "' (" + std::strerror(errno) + ")");
        }
        write_at(fd, 0, p, kHeaderSize, path);
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
    return Journal(path, std::move(fd), data_name, header.nonce, header.original_length, durable);
}

void Journal::append_record(const unsigned char* head, const unsigned char* bytes, std::size_t size) {
    std::vector<unsigned char> record(kRecordHeadSize + size);
    std::memcpy(record.data(), head, kRecordHeadSize);
    if (size > 0) std::memcpy(record.data() + kRecordHeadSize, bytes, size);
    // One write per record: a kill can tear only the last one.
    write_at(fd_, end_, record.data(), record.size(), path_);
    end_ += record.size();
}

void Journal::save(const Descriptor& data, std::uint64_t offset, std::uint64_t length,
                   bool skip_holes) {
    if (offset > original_length_ || length > original_length_ - offset) {
        throw ArgumentError("journal of '" + data_name_ + "': bytes " + std::to_string(offset) + "+" +
                            std::to_string(length) + " are not original bytes");
    }
    const std::uint64_t end = offset + length;
    std::vector<unsigned char> bytes;
    while (offset < end) {
        std::uint64_t to = end;
        if (skip_holes) {
            // Only the pages with data: a sparse tail costs nothing to save.
            const off_t data_at = ::lseek(data.get(), static_cast<off_t>(offset), SEEK_DATA);
            if (data_at < 0) {
                if (errno == ENXIO) return;  // holes up to the end of the file
                throw IoError("cannot find the data of '" + data_name_ + "' (" + std::strerror(errno) + ")");
            }
            offset = std::max(offset, static_cast<std::uint64_t>(data_at) / kPageSize * kPageSize);
            if (offset >= end) return;
            const off_t hole_at = ::lseek(data.get(), static_cast<off_t>(offset), SEEK_HOLE);
            if (hole_at >= 0) {
                const std::uint64_t hole = (static_cast<std::uint64_t>(hole_at) + kPageSize - 1) / kPageSize * kPageSize;
                to = std::min(end, std::max(hole, offset + kPageSize));
            }
        }
        while (offset < to) {
            const std::uint64_t piece = std::min(to - offset, kMaxRecordBytes);
            bytes.resize(static_cast<std::size_t>(piece));
            if (read_at(data, offset, bytes.data(), bytes.size(), data_name_) != piece) {
                throw IoError("cannot save bytes " + std::to_string(offset) + "+" + std::to_string(piece) +
                              " of '" + data_name_ + "' to its journal: the file is shorter");
            }
            unsigned char head[kRecordHeadSize];
            put_u64(head, offset);
            put_u64(head + 8, piece);
            put_u32(head + 20, kBytes);
            put_u32(head + 16, record_checksum(nonce_, head, bytes.data(), bytes.size()));
            append_record(head, bytes.data(), bytes.size());
            offset += piece;
        }
    }
}

void Journal::save_cut(std::uint64_t length) {
    unsigned char head[kRecordHeadSize];
    put_u64(head, std::min(length, original_length_));
    put_u64(head + 8, 0);
    put_u32(head + 20, kCut);
    put_u32(head + 16, record_checksum(nonce_, head, nullptr, 0));
    append_record(head, nullptr, 0);
}

void Journal::sync() {
    if (!durable_) return;
    sync_data(fd_, path_);
    if (!named_on_disk_) {
        sync_directory_of(path_);
        named_on_disk_ = true;
    }
}

void Journal::roll_back(const Descriptor& data) const {
    Header header;
    if (!read_header(fd_, path_, header)) {
        throw IoError("the journal '" + path_ + "' lost its header");
    }
    apply(fd_, path_, header, data, data_name_);
    if (durable_) sync_data(data, data_name_);
}

void Journal::remove() {
    remove_file(path_, durable_);
    fd_.reset();
}

Journal::Recovery Journal::recover(const std::string& path, const Descriptor& data,
                                   const std::string& data_name) {
    return recover(path, data, data_name, false, [] { return true; });
}

Journal::Recovery Journal::settle(const std::string& path, const Descriptor& data,
                                  const std::string& data_name,
                                  const std::function<bool()>& shut_out_readers) {
    return recover(path, data, data_name, true, shut_out_readers);
}

// The journal at `path`, opened to be recovered from: none (an empty
// descriptor) when there is no journal; IoError when what is there is no
// journal the engine could have written.
static Descriptor open_to_recover(const std::string& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return fd;
        if (errno == ELOOP) {
            throw IoError("the journal '" + path + "' is a symbolic link, which the engine never makes");
        }
        throw IoError("cannot open the journal '" + path + "' (" + std::strerror(errno) + ")");
    }
    if (!S_ISREG(status_of(fd, path).st_mode)) {
        throw IoError("the journal '" + path + "' is not a regular file");
    }
    return fd;
}

Journal::Recovery Journal::recover(const std::string& path, const Descriptor& data,
                                   const std::string& data_name, bool by_signature,
                                   const std::function<bool()>& shut_out_readers) {
    const Descriptor fd = open_to_recover(path);
    if (!fd) return Recovery::none;
    Header header;
    // A torn header: its writer died before its first write to the file.
    if (!read_header(fd, path, header)) {
        remove_file(path, true);
        return Recovery::discarded;
    }
    // Where the dead call stood is told by the file's signature, which its
    // writer blanked before overwriting any original byte and wrote back
    // last, as the commit point.
    unsigned char signature[kSignatureSize] = {};
    const bool blank =
        read_at(data, 0, signature, kSignatureSize, data_name) < kSignatureSize ||
        std::all_of(signature, signature + kSignatureSize, [](unsigned char b) { return b == 0; });
    if (by_signature && !blank) {
        const std::vector<std::uint32_t> first = sample_checksums(data, data_name, {0}, header.original_length);
        if (header.samples.empty() || first[0] != header.samples[0]) {
            // Past the commit point (or changed by someone since, which
            // readers may have seen): the file stands as it is.
            remove_file(path, true);
            return Recovery::completed;
        }
        // Before the first overwrite: the original bytes and growth past
        // them, which no reader of the original reads. Cutting it rewrites
        // nothing a reader holds.
        if (belongs(fd, path, header, data, data_name) == Belongs::yes &&
            file_length(data, data_name) > header.original_length) {
            truncate_to(data, header.original_length, data_name);
            sync_data(data, data_name);
        }
        remove_file(path, true);
        return Recovery::rolled_back;
    }
    switch (belongs(fd, path, header, data, data_name)) {
        case Belongs::no:
            // Another file's, or this file's before it was replaced (a backup
            // restored over it): its bytes would corrupt what is there now.
            remove_file(path, true);
            return Recovery::discarded;
        case Belongs::unknown:
            throw IoError("the journal '" + path + "' may not belong to this file (it was written for '" +
                          header.name +
                          "' on another device or inode, and holds every page that could tell); "
                          "it is kept: move it away to open the file as it is");
        case Belongs::yes:
            break;
    }
    // Readers refuse a blank signature; one that holds the file anyway
    // (opened without looking) must not see its pages change under it.
    if (!shut_out_readers()) {
        throw IoError("a reader holds '" + data_name + "', which an interrupted write left half-done; "
                      "it is rolled back once no reader holds it");
    }
    apply(fd, path, header, data, data_name);
    // Rollbacks are rare: always make the restored file durable before its
    // journal goes, whatever the dead writer asked for.
    sync_data(data, data_name);
    remove_file(path, true);
    return Recovery::rolled_back;
}

void Journal::remove(const Descriptor& dir) {
    const std::string name = base_name_of(path_);
    if (::unlinkat(dir.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        throw IoError("cannot remove '" + path_ + "' (" + std::strerror(errno) + ")");
    }
    if (durable_) sync_directory(dir, path_);
    fd_.reset();
}

}  // namespace corvane
