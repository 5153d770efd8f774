#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/SharedArray.h"

namespace quorvane::format {

/// Four characters naming a section ("MEAN", "REFR", ...).
struct Tag {
    char name[4];
    constexpr Tag(const char (&text)[5]) : name{text[0], text[1], text[2], text[3]} {}
    constexpr Tag() : name{} {}
    bool operator==(const Tag& other) const;
    bool operator!=(const Tag& other) const { return !(*this == other); }
    std::string str() const { return std::string(name, 4); }
};

/// What a section's values are, as the table records it.
enum class Type : std::uint32_t { Bytes = 1, Int32 = 2, Int64 = 3, UInt64 = 4, Float32 = 5, Float64 = 6 };

/// A section to write: `rows` x `cols` values of `type` at `data`.
struct Section {
    Tag tag;
    Type type;
    std::uint64_t rows;
    std::uint64_t cols;
    const void* data;
};

/// A path that could not be opened, read or written: errno and the path.
struct FileError : std::runtime_error {
    FileError(int error, std::string path, const std::string& doing);
    int error;         ///< errno of the failed call
    std::string path;  ///< the file it was about
};

/// The model file: a fixed header, a table of sections, and the sections'
/// values, all little-endian; docs/model-file.md describes it byte by byte.
/// A file is read once into memory or mapped, and its sections are used in
/// place: a mapped file's pages are shared by every process that maps it.
///
/// Reading distrusts every byte: the length, every count, offset and size is
/// checked against the file's length (overflow-safe) before anything is read
/// or allocated, sections must be aligned, known, typed as expected and must
/// not overlap, and the header and table carry a checksum of their own that
/// is always verified. `verify` adds the checksum of each section's values;
/// without it nothing the file says is trusted any less, only bit flips in
/// the values go unseen. Failures throw std::invalid_argument("invalid
/// quorvane model file: ...") naming what is wrong.
class ModelFile {
public:
    /// Reads the file at `path`, mapped into memory or read into a buffer of
    /// this process. FileError when it cannot be opened or read.
    static ModelFile open(const std::string& path, bool map, bool verify);

    /// Reads an image held in memory (copied first, so that the sections are
    /// aligned and outlive the caller's bytes).
    static ModelFile parse(const void* data, std::size_t size, bool verify);

    /// The bytes of a file holding `sections`, in their order: the same
    /// sections always give the same bytes.
    static std::string image(const std::vector<Section>& sections);

    /// Writes that image to `path` as databases do: into a temporary file in
    /// the same directory, flushed to disk, then renamed over `path`. A reader
    /// never sees half a file, a process that maps the old file keeps its
    /// pages, and a failed save leaves the old file as it was.
    static void save(const std::string& path, const std::vector<Section>& sections);

    bool has(Tag tag) const;
    /// The tags of the sections the file holds, in table order.
    std::vector<Tag> tags() const;
    /// Rows and columns of a section the file holds (0 x 0 when it has none).
    std::uint64_t rows(Tag tag) const;
    std::uint64_t cols(Tag tag) const;

    /// The values of a section, in place. Refuses a section that is missing,
    /// of another type, or of another shape than `rows` x `cols`.
    template <typename T>
    common::SharedArray<T> array(Tag tag, std::uint64_t rows, std::uint64_t cols) const;

private:
    struct Entry {
        Tag tag;
        Type type;
        std::uint64_t offset, bytes, rows, cols;
        std::uint32_t checksum;
    };

    ModelFile(std::shared_ptr<const void> owner, const unsigned char* base, std::size_t size, bool verify);
    const Entry* find(Tag tag) const;
    const void* values(Tag tag, Type type, std::uint64_t rows, std::uint64_t cols) const;

    std::shared_ptr<const void> owner_;  ///< the mapping or buffer the sections live in
    const unsigned char* base_;          ///< the file's first byte
    std::vector<Entry> entries_;         ///< the section table, checked
};

/// Throws std::invalid_argument("invalid quorvane model file: " + why).
[[noreturn]] void invalid(const std::string& why);

template <typename T>
struct TypeOf;
template <>
struct TypeOf<char> {
    static constexpr Type value = Type::Bytes;
};
template <>
struct TypeOf<std::int32_t> {
    static constexpr Type value = Type::Int32;
};
template <>
struct TypeOf<std::int64_t> {
    static constexpr Type value = Type::Int64;
};
template <>
struct TypeOf<std::uint64_t> {
    static constexpr Type value = Type::UInt64;
};
template <>
struct TypeOf<float> {
    static constexpr Type value = Type::Float32;
};
template <>
struct TypeOf<double> {
    static constexpr Type value = Type::Float64;
};

template <typename T>
common::SharedArray<T> ModelFile::array(Tag tag, std::uint64_t rows, std::uint64_t cols) const {
    const void* data = values(tag, TypeOf<T>::value, rows, cols);
    return common::SharedArray<T>(owner_, static_cast<const T*>(data), static_cast<std::size_t>(rows * cols));
}

}  // namespace quorvane::format
