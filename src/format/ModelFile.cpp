#include "ModelFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Checksum.h"

namespace quorvane::format {

namespace {

// The header: signature, format version, section count, file length, table
// offset, checksum of header and table, then zeros to 64 bytes. Every table
// entry takes 48 bytes; sections start on 64-byte boundaries.
constexpr unsigned char kSignature[8] = {0x89, 'Q', 'R', 'V', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeader = 64;
constexpr std::size_t kEntry = 48;
constexpr std::size_t kAlign = 64;
constexpr std::uint32_t kMaxSections = 64;
constexpr std::size_t kChecksumAt = 32;

bool little_endian_host() {
    const std::uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

void require_little_endian_host() {
    // Sections are used in place, so their bytes must be this machine's.
    if (!little_endian_host()) throw std::runtime_error("quorvane model files are little-endian; this machine is not");
}

template <typename T>
T read_le(const unsigned char* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

template <typename T>
void write_le(unsigned char* p, T value) {
    std::memcpy(p, &value, sizeof(T));
}

std::size_t element_size(Type type) {
    switch (type) {
        case Type::Bytes: return 1;
        case Type::Int32:
        case Type::Float32: return 4;
        case Type::Int64:
        case Type::UInt64:
        case Type::Float64: return 8;
    }
    return 0;
}

const char* type_name(Type type) {
    switch (type) {
        case Type::Bytes: return "bytes";
        case Type::Int32: return "int32";
        case Type::Int64: return "int64";
        case Type::UInt64: return "uint64";
        case Type::Float32: return "float32";
        case Type::Float64: return "float64";
    }
    return "unknown";
}

std::size_t round_up(std::size_t x) { return (x + kAlign - 1) / kAlign * kAlign; }

// A buffer aligned to 64 bytes, as sections need to be.
std::shared_ptr<unsigned char> aligned_buffer(std::size_t size) {
    auto* p = static_cast<unsigned char*>(::operator new(std::max<std::size_t>(size, 1), std::align_val_t{kAlign}));
    return std::shared_ptr<unsigned char>(p, [](unsigned char* q) { ::operator delete(q, std::align_val_t{kAlign}); });
}

struct Layout {
    std::string header;                 ///< header and table
    std::vector<std::size_t> offsets;   ///< of each section
    std::vector<std::size_t> bytes;     ///< of each section
    std::size_t length = 0;             ///< of the whole file
};

Layout layout(const std::vector<Section>& sections) {
    require_little_endian_host();
    if (sections.empty() || sections.size() > kMaxSections) throw std::invalid_argument("a model file holds 1 to 64 sections");
    Layout l;
    const std::size_t table_end = kHeader + sections.size() * kEntry;
    std::size_t at = round_up(table_end);
    l.header.assign(table_end, '\0');
    auto* h = reinterpret_cast<unsigned char*>(l.header.data());
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Section& s = sections[i];
        const std::size_t bytes = static_cast<std::size_t>(s.rows * s.cols) * element_size(s.type);
        unsigned char* e = h + kHeader + i * kEntry;
        std::memcpy(e, s.tag.name, 4);
        write_le<std::uint32_t>(e + 4, static_cast<std::uint32_t>(s.type));
        write_le<std::uint64_t>(e + 8, at);
        write_le<std::uint64_t>(e + 16, bytes);
        write_le<std::uint64_t>(e + 24, s.rows);
        write_le<std::uint64_t>(e + 32, s.cols);
        write_le<std::uint32_t>(e + 40, crc32c(s.data, bytes));
        l.offsets.push_back(at);
        l.bytes.push_back(bytes);
        l.length = at + bytes;
        at = round_up(at + bytes);
    }
    std::memcpy(h, kSignature, sizeof kSignature);
    write_le<std::uint32_t>(h + 8, kVersion);
    write_le<std::uint32_t>(h + 12, static_cast<std::uint32_t>(sections.size()));
    write_le<std::uint64_t>(h + 16, l.length);
    write_le<std::uint64_t>(h + 24, kHeader);
    write_le<std::uint32_t>(h + kChecksumAt, crc32c(h, table_end));
    return l;
}

// Writes all of [data, data + size) to fd, through short writes and signals.
void write_all(int fd, const void* data, std::size_t size, const std::string& path) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t done = ::write(fd, p, std::min<std::size_t>(size, std::size_t{1} << 30));
        if (done < 0) {
            if (errno == EINTR) continue;
            throw FileError(errno, path, "write");
        }
        p += done;
        size -= static_cast<std::size_t>(done);
    }
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::atomic<unsigned> save_counter{0};

}  // namespace

bool Tag::operator==(const Tag& other) const { return std::memcmp(name, other.name, 4) == 0; }

FileError::FileError(int error, std::string path, const std::string& doing)
    : std::runtime_error("cannot " + doing + " " + path + ": " + std::strerror(error)), error(error),
      path(std::move(path)) {}

void invalid(const std::string& why) { throw std::invalid_argument("invalid quorvane model file: " + why); }

std::string ModelFile::image(const std::vector<Section>& sections) {
    const Layout l = layout(sections);
    std::string out(l.length, '\0');
    std::memcpy(out.data(), l.header.data(), l.header.size());
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (l.bytes[i] > 0) std::memcpy(out.data() + l.offsets[i], sections[i].data, l.bytes[i]);
    }
    return out;
}

void ModelFile::save(const std::string& path, const std::vector<Section>& sections) {
    const Layout l = layout(sections);
    // A fresh name in the target's directory, so that the rename is atomic;
    // created exclusively with the usual permissions (0666 less the umask).
    const std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = directory_of(path) + "/." + base + ".quorvane-" + std::to_string(::getpid()) + "-" +
                    std::to_string(save_counter.fetch_add(1)) + ".tmp";
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt > 100)) throw FileError(errno, path, "save to");
    }
    try {
        std::size_t written = 0;
        const std::string zeros(kAlign, '\0');
        write_all(fd, l.header.data(), l.header.size(), path);
        written = l.header.size();
        for (std::size_t i = 0; i < sections.size(); ++i) {
            write_all(fd, zeros.data(), l.offsets[i] - written, path);
            write_all(fd, sections[i].data, l.bytes[i], path);
            written = l.offsets[i] + l.bytes[i];
        }
        if (::fsync(fd) != 0) throw FileError(errno, path, "flush");
        if (::close(fd) != 0) {
            fd = -1;
            throw FileError(errno, path, "close");
        }
        fd = -1;
        if (::rename(temporary.c_str(), path.c_str()) != 0) throw FileError(errno, path, "rename over");
    } catch (...) {
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    // The rename itself reaches the disk with its directory.
    const int dir = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

ModelFile ModelFile::open(const std::string& path, bool map, bool verify) {
    require_little_endian_host();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw FileError(errno, path, "open");
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        throw FileError(error, path, "read");
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw FileError(EISDIR, path, "read");
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size < kHeader) {
        ::close(fd);
        invalid(std::to_string(size) + " bytes, shorter than its " + std::to_string(kHeader) + "-byte header");
    }
    if (map) {
        void* pages = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        const int error = errno;
        ::close(fd);
        if (pages == MAP_FAILED) throw FileError(error, path, "map");
        std::shared_ptr<const void> owner(pages, [size](const void* p) { ::munmap(const_cast<void*>(p), size); });
        return ModelFile(std::move(owner), static_cast<const unsigned char*>(pages), size, verify);
    }
    std::shared_ptr<unsigned char> buffer = aligned_buffer(size);
    for (std::size_t at = 0; at < size;) {
        const ssize_t got = ::read(fd, buffer.get() + at, std::min<std::size_t>(size - at, std::size_t{1} << 30));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            const int error = got < 0 ? errno : EIO;
            ::close(fd);
            throw FileError(error, path, "read");
        }
        at += static_cast<std::size_t>(got);
    }
    ::close(fd);
    const unsigned char* base = buffer.get();
    return ModelFile(std::move(buffer), base, size, verify);
}

ModelFile ModelFile::parse(const void* data, std::size_t size, bool verify) {
    require_little_endian_host();
    if (size < kHeader) invalid(std::to_string(size) + " bytes, shorter than its " + std::to_string(kHeader) + "-byte header");
    std::shared_ptr<unsigned char> buffer = aligned_buffer(size);
    std::memcpy(buffer.get(), data, size);
    const unsigned char* base = buffer.get();
    return ModelFile(std::move(buffer), base, size, verify);
}

ModelFile::ModelFile(std::shared_ptr<const void> owner, const unsigned char* base, std::size_t size, bool verify)
    : owner_(std::move(owner)), base_(base) {
    if (size < kHeader) invalid(std::to_string(size) + " bytes, shorter than its " + std::to_string(kHeader) + "-byte header");
    if (std::memcmp(base, kSignature, sizeof kSignature) != 0) invalid("it does not begin with the quorvane signature");
    const auto version = read_le<std::uint32_t>(base + 8);
    if (version != kVersion) {
        invalid("format version " + std::to_string(version) + ", but this quorvane reads version " +
                std::to_string(kVersion) + (version > kVersion ? " (the file is from a newer quorvane)" : ""));
    }
    const auto count = read_le<std::uint32_t>(base + 12);
    if (count == 0 || count > kMaxSections) invalid(std::to_string(count) + " sections, not 1 to 64");
    const auto length = read_le<std::uint64_t>(base + 16);
    if (length != size) {
        invalid("its header gives a length of " + std::to_string(length) + " bytes, but it has " +
                std::to_string(size) + (size < length ? " (cut short)" : " (bytes added)"));
    }
    if (read_le<std::uint64_t>(base + 24) != kHeader) invalid("its section table is not where the header ends");
    for (std::size_t i = 36; i < kHeader; ++i) {
        if (base[i] != 0) invalid("header byte " + std::to_string(i) + " is reserved but not zero");
    }
    const std::size_t table_end = kHeader + count * kEntry;  // at most 3,136: no overflow
    if (table_end > size) invalid("its section table runs past its end");
    // Header and table are checked always: they are small, and every size
    // below is read from them.
    {
        std::string copy(reinterpret_cast<const char*>(base), table_end);
        std::memset(copy.data() + kChecksumAt, 0, 4);
        if (crc32c(copy.data(), copy.size()) != read_le<std::uint32_t>(base + kChecksumAt)) {
            invalid("the checksum of its header and section table does not match");
        }
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const unsigned char* e = base + kHeader + i * kEntry;
        Entry entry;
        std::memcpy(entry.tag.name, e, 4);
        const auto type = read_le<std::uint32_t>(e + 4);
        entry.offset = read_le<std::uint64_t>(e + 8);
        entry.bytes = read_le<std::uint64_t>(e + 16);
        entry.rows = read_le<std::uint64_t>(e + 24);
        entry.cols = read_le<std::uint64_t>(e + 32);
        entry.checksum = read_le<std::uint32_t>(e + 40);
        const std::string name = "section " + std::to_string(i) + " (" + entry.tag.str() + ")";
        if (read_le<std::uint32_t>(e + 44) != 0) invalid(name + " has reserved bytes that are not zero");
        if (type < 1 || type > 6) invalid(name + " has an unknown type " + std::to_string(type));
        entry.type = static_cast<Type>(type);
        if (find(entry.tag) != nullptr) invalid(name + " repeats its tag");
        if (entry.offset % kAlign != 0) invalid(name + " starts at " + std::to_string(entry.offset) + ", not on a 64-byte boundary");
        if (entry.offset < table_end) invalid(name + " starts inside the header or section table");
        if (entry.offset > size || entry.bytes > size - entry.offset) invalid(name + " runs past the end of the file");
        std::uint64_t values = 0, bytes = 0;
        if (__builtin_mul_overflow(entry.rows, entry.cols, &values) ||
            __builtin_mul_overflow(values, element_size(entry.type), &bytes) || bytes != entry.bytes) {
            invalid(name + " holds " + std::to_string(entry.bytes) + " bytes, not " + std::to_string(entry.rows) +
                    " x " + std::to_string(entry.cols) + " " + type_name(entry.type) + " values");
        }
        entries_.push_back(entry);
    }
    std::vector<const Entry*> by_offset;
    for (const Entry& entry : entries_) by_offset.push_back(&entry);
    std::sort(by_offset.begin(), by_offset.end(), [](const Entry* a, const Entry* b) { return a->offset < b->offset; });
    for (std::size_t i = 1; i < by_offset.size(); ++i) {
        if (by_offset[i - 1]->offset + by_offset[i - 1]->bytes > by_offset[i]->offset) {
            invalid("sections " + by_offset[i - 1]->tag.str() + " and " + by_offset[i]->tag.str() + " overlap");
        }
    }
    if (verify) {
        for (const Entry& entry : entries_) {
            if (crc32c(base + entry.offset, static_cast<std::size_t>(entry.bytes)) != entry.checksum) {
                invalid("the checksum of section " + entry.tag.str() + " does not match its values");
            }
        }
    }
}

const ModelFile::Entry* ModelFile::find(Tag tag) const {
    for (const Entry& entry : entries_)
        if (entry.tag == tag) return &entry;
    return nullptr;
}

bool ModelFile::has(Tag tag) const { return find(tag) != nullptr; }

std::vector<Tag> ModelFile::tags() const {
    std::vector<Tag> out;
    for (const Entry& entry : entries_) out.push_back(entry.tag);
    return out;
}

std::uint64_t ModelFile::rows(Tag tag) const {
    const Entry* e = find(tag);
    return e != nullptr ? e->rows : 0;
}

std::uint64_t ModelFile::cols(Tag tag) const {
    const Entry* e = find(tag);
    return e != nullptr ? e->cols : 0;
}

const void* ModelFile::values(Tag tag, Type type, std::uint64_t rows, std::uint64_t cols) const {
    const Entry* e = find(tag);
    if (e == nullptr) invalid("it has no section " + tag.str());
    if (e->type != type) invalid("section " + tag.str() + " holds " + type_name(e->type) + ", not " + type_name(type));
    if (e->rows != rows || e->cols != cols) {
        invalid("section " + tag.str() + " holds " + std::to_string(e->rows) + " x " + std::to_string(e->cols) +
                " values, expected " + std::to_string(rows) + " x " + std::to_string(cols));
    }
    return base_ + e->offset;
}

}  // namespace quorvane::format
