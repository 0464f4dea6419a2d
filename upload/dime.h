#pragma once
// A DIME message (Direct Internet Message Encapsulation, version 1) written as a
// stream: record headers, IDs and TYPEs are small and kept in memory, file data
// is read from the open file while the message is sent, so a large attachment
// never sits in memory whole.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex::dime {

inline constexpr std::uint8_t kVersionFlag = 0x08; // version 1 in the top five bits
inline constexpr std::uint8_t kMessageBegin = 0x04;
inline constexpr std::uint8_t kMessageEnd = 0x02;
inline constexpr std::size_t kHeaderBytes = 12;

// TYPE_T, kept in the upper four bits of the second header byte.
enum class TypeFormat : std::uint8_t { MediaType = 1, AbsoluteUri = 2 };

// Bytes of n rounded up to a multiple of 4.
constexpr std::uint64_t Padded(std::uint64_t n) {
    return (n + 3) & ~std::uint64_t{3};
}

// The 12-byte record header: flags, TYPE_T, options length 0, ID length, TYPE
// length and data length, big-endian. The chunk flag is never set.
std::string RecordHeader(bool first, bool last, TypeFormat format, std::uint16_t idLength,
                         std::uint16_t typeLength, std::uint32_t dataLength);

// A file opened for the message: its size is fixed when it is opened, and the
// descriptor keeps the data readable even when the file's name is removed.
class OpenedFile {
public:
    // nullptr (reason in error) when path cannot be opened or is not a regular file.
    static std::unique_ptr<OpenedFile> Open(const std::string& path, std::string& error);
    ~OpenedFile();
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    const std::string& Path() const { return path_; }
    std::uint64_t Size() const { return size_; }
    // Reads exactly n bytes at offset; false (reason naming the file in error)
    // when the file ended early or could not be read.
    bool ReadAt(std::uint64_t offset, char* out, std::size_t n, std::string& error) const;
    // The whole file as taken, for small files kept in memory.
    bool ReadAll(std::string& out, std::string& error) const;

private:
    OpenedFile(int fd, std::string path, std::uint64_t size) : fd_(fd), path_(std::move(path)), size_(size) {}
    int fd_;
    std::string path_;
    std::uint64_t size_;
};

struct Record {
    std::string id;
    TypeFormat format = TypeFormat::MediaType;
    std::string type;
    // The data: the file's bytes when file is set, else inline.
    std::string inlineData;
    std::shared_ptr<const OpenedFile> file;

    std::uint64_t DataSize() const { return file ? file->Size() : inlineData.size(); }
};

// Reads a message of records out in order. Limits of the format: ID and TYPE
// at most 65535 bytes, data at most 4294967295 bytes per record.
class Writer {
public:
    // Throws std::length_error when a record exceeds a limit of the format.
    explicit Writer(std::vector<Record> records);

    std::uint64_t TotalSize() const { return total_; }
    std::uint64_t Position() const { return position_; }
    // Copies up to n bytes of the message into out and answers how many; 0 at
    // the end. On a read failure answers 0 and sets Error().
    std::size_t Read(char* out, std::size_t n);
    const std::string& Error() const { return error_; }
    bool Failed() const { return !error_.empty(); }
    // Back to the start (a resent request).
    void Rewind();

private:
    struct Piece {
        std::string bytes;                      // header, ID, TYPE with padding, inline data
        std::shared_ptr<const OpenedFile> file; // or file data
        std::uint64_t length = 0;
    };
    std::vector<Record> records_;
    std::vector<Piece> pieces_;
    std::uint64_t total_ = 0;
    std::uint64_t position_ = 0;
    std::size_t piece_ = 0;
    std::uint64_t inPiece_ = 0;
    std::string error_;
};

// The whole message in memory; for small messages and tests. Empty on a read failure.
std::string WriteAll(std::vector<Record> records);

} // namespace nuvex::dime
