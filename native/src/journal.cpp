#include "corvane/journal.hpp"

#include "corvane/error.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace corvane {

namespace {

constexpr char kMagic[8] = {'C', 'V', 'J', 'R', 'N', 'L', '0', '1'};
constexpr std::size_t kHeaderSize = 48;
constexpr std::size_t kRecordHeadSize = 24;
// Bounds the memory a rollback needs; larger saves are split.
constexpr std::uint64_t kMaxRecordBytes = std::uint64_t{1} << 20;

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

class Crc {
public:
    Crc& add(const void* bytes, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(bytes);
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
    return Crc().add(salt, 8).add(head, 16).add(bytes, size).value();
}

std::uint64_t inode_of(const Descriptor& fd, const std::string& what) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        throw IoError("cannot read the identity of '" + what + "' (" + std::strerror(errno) + ")");
    }
    return static_cast<std::uint64_t>(st.st_ino);
}

std::uint64_t random_nonce() {
    std::random_device source;
    return (std::uint64_t{source()} << 32) ^ source();
}

struct Header {
    std::uint64_t nonce = 0;
    std::uint64_t original_length = 0;
    std::uint64_t inode = 0;
};

void encode_header(unsigned char* p, const Header& h) {
    std::memset(p, 0, kHeaderSize);
    std::memcpy(p, kMagic, sizeof kMagic);
    put_u64(p + 8, h.nonce);
    put_u64(p + 16, h.original_length);
    put_u64(p + 24, h.inode);
    put_u32(p + 40, Crc().add(p, 40).value());
}

// False for a header torn by a writer killed while starting its journal.
bool read_header(const Descriptor& journal, const std::string& name, Header& out) {
    unsigned char p[kHeaderSize];
    if (read_at(journal, 0, p, kHeaderSize, name) != kHeaderSize) return false;
    if (std::memcmp(p, kMagic, sizeof kMagic) != 0 || get_u32(p + 40) != Crc().add(p, 40).value()) {
        return false;
    }
    out.nonce = get_u64(p + 8);
    out.original_length = get_u64(p + 16);
    out.inode = get_u64(p + 24);
    return true;
}

// Writes every intact record back into `data`, in order, up to the first
// torn one, then cuts `data` to the original length.
void apply(const Descriptor& journal, const std::string& journal_name, const Header& header,
           const Descriptor& data, const std::string& data_name) {
    std::uint64_t at = kHeaderSize;
    std::vector<unsigned char> bytes;
    for (;;) {
        unsigned char head[kRecordHeadSize];
        if (read_at(journal, at, head, kRecordHeadSize, journal_name) != kRecordHeadSize) break;
        const std::uint64_t offset = get_u64(head);
        const std::uint64_t length = get_u64(head + 8);
        if (length == 0 || length > kMaxRecordBytes || offset > header.original_length ||
            length > header.original_length - offset) {
            break;
        }
        bytes.resize(static_cast<std::size_t>(length));
        if (read_at(journal, at + kRecordHeadSize, bytes.data(), bytes.size(), journal_name) !=
            bytes.size()) {
            break;
        }
        if (get_u32(head + 16) != record_checksum(header.nonce, head, bytes.data(), bytes.size())) break;
        write_at(data, offset, bytes.data(), bytes.size(), data_name);
        at += kRecordHeadSize + length;
    }
    truncate_to(data, header.original_length, data_name);
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
    Descriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        throw IoError("cannot create the journal '" + path + "' (" + std::strerror(errno) + ")");
    }
    Header header;
    header.nonce = random_nonce();
    header.original_length = file_length(data, data_name);
    header.inode = inode_of(data, data_name);
    unsigned char p[kHeaderSize];
    encode_header(p, header);
    write_at(fd, 0, p, kHeaderSize, path);
    return Journal(path, std::move(fd), data_name, header.nonce, header.original_length, durable);
}

void Journal::save(const Descriptor& data, std::uint64_t offset, std::uint64_t length) {
    if (offset > original_length_ || length > original_length_ - offset) {
        throw ArgumentError("journal of '" + data_name_ + "': bytes " + std::to_string(offset) + "+" +
                            std::to_string(length) + " are not original bytes");
    }
    std::vector<unsigned char> record;
    while (length > 0) {
        const std::uint64_t piece = length < kMaxRecordBytes ? length : kMaxRecordBytes;
        record.resize(kRecordHeadSize + static_cast<std::size_t>(piece));
        unsigned char* head = record.data();
        unsigned char* bytes = head + kRecordHeadSize;
        if (read_at(data, offset, bytes, static_cast<std::size_t>(piece), data_name_) != piece) {
            throw IoError("cannot save bytes " + std::to_string(offset) + "+" + std::to_string(piece) +
                          " of '" + data_name_ + "' to its journal: the file is shorter");
        }
        put_u64(head, offset);
        put_u64(head + 8, piece);
        put_u32(head + 16, record_checksum(nonce_, head, bytes, static_cast<std::size_t>(piece)));
        put_u32(head + 20, 0);
        // One write per record: a kill can tear only the last one.
        write_at(fd_, end_, record.data(), record.size(), path_);
        end_ += record.size();
        offset += piece;
        length -= piece;
    }
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
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return Recovery::none;
        throw IoError("cannot open the journal '" + path + "' (" + std::strerror(errno) + ")");
    }
    Header header;
    // A torn header: its writer died before its first write to the file.
    // Another inode: the journal outlived its file, and this is a new one.
    if (!read_header(fd, path, header) || header.inode != inode_of(data, data_name)) {
        remove_file(path, true);
        return Recovery::discarded;
    }
    apply(fd, path, header, data, data_name);
    // Rollbacks are rare: always make the restored file durable before its
    // journal goes, whatever the dead writer asked for.
    sync_data(data, data_name);
    remove_file(path, true);
    return Recovery::rolled_back;
}

}  // namespace corvane
