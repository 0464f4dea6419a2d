#include "upload/dime.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace nuvex::dime {

namespace {

void PutBig16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v & 0xFF));
}

void PutBig32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((v >> shift) & 0xFF));
    }
}

void AppendPadded(std::string& out, std::string_view bytes) {
    out.append(bytes);
    out.append(Padded(bytes.size()) - bytes.size(), '\0');
}

} // namespace

std::string RecordHeader(bool first, bool last, TypeFormat format, std::uint16_t idLength,
                         std::uint16_t typeLength, std::uint32_t dataLength) {
    std::string h;
    h.reserve(kHeaderBytes);
    std::uint8_t flags = kVersionFlag;
    if (first) {
        flags |= kMessageBegin;
    }
    if (last) {
        flags |= kMessageEnd;
    }
    h.push_back(static_cast<char>(flags));
    h.push_back(static_cast<char>(static_cast<std::uint8_t>(format) << 4));
    PutBig16(h, 0); // no options
    PutBig16(h, idLength);
    PutBig16(h, typeLength);
    PutBig32(h, dataLength);
    return h;
}

std::unique_ptr<OpenedFile> OpenedFile::Open(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = "cannot open \"" + path + "\": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "\"" + path + "\" is not a regular file";
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<OpenedFile>(new OpenedFile(fd, path, static_cast<std::uint64_t>(st.st_size)));
}

OpenedFile::~OpenedFile() {
    ::close(fd_);
}

bool OpenedFile::ReadAt(std::uint64_t offset, char* out, std::size_t n, std::string& error) const {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = "cannot read \"" + path_ + "\": " + std::strerror(errno);
            return false;
        }
        if (got == 0) {
            // The size was fixed when the file was taken; a shorter file now
            // would send a record whose length lies.
            error = "\"" + path_ + "\" became shorter while it was being sent";
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool OpenedFile::ReadAll(std::string& out, std::string& error) const {
    out.resize(size_);
    return ReadAt(0, out.data(), out.size(), error);
}

Writer::Writer(std::vector<Record> records) : records_(std::move(records)) {
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const Record& r = records_[i];
        if (r.id.size() > std::numeric_limits<std::uint16_t>::max() ||
            r.type.size() > std::numeric_limits<std::uint16_t>::max() ||
            r.DataSize() > std::numeric_limits<std::uint32_t>::max()) {
            throw std::length_error("DIME record " + std::to_string(i + 1) + " exceeds a length field");
        }
        Piece head;
        head.bytes =
            RecordHeader(i == 0, i + 1 == records_.size(), r.format, static_cast<std::uint16_t>(r.id.size()),
                         static_cast<std::uint16_t>(r.type.size()), static_cast<std::uint32_t>(r.DataSize()));
        AppendPadded(head.bytes, r.id);
        AppendPadded(head.bytes, r.type);
        if (!r.file) {
            AppendPadded(head.bytes, r.inlineData);
        }
        head.length = head.bytes.size();
        pieces_.push_back(std::move(head));
        if (r.file) {
            pieces_.push_back(Piece{{}, r.file, r.file->Size()});
            const std::uint64_t pad = Padded(r.file->Size()) - r.file->Size();
            if (pad) {
                pieces_.push_back(Piece{std::string(pad, '\0'), nullptr, pad});
            }
        }
    }
    for (const Piece& p : pieces_) {
        total_ += p.length;
    }
}

std::size_t Writer::Read(char* out, std::size_t n) {
    std::size_t done = 0;
    while (done < n && piece_ < pieces_.size() && error_.empty()) {
        const Piece& p = pieces_[piece_];
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(n - done, p.length - inPiece_));
        if (p.file) {
            if (!p.file->ReadAt(inPiece_, out + done, take, error_)) {
                return 0;
            }
        } else {
            std::memcpy(out + done, p.bytes.data() + inPiece_, take);
        }
        done += take;
        inPiece_ += take;
        position_ += take;
        if (inPiece_ == p.length) {
            ++piece_;
            inPiece_ = 0;
        }
    }
    return error_.empty() ? done : 0;
}

void Writer::Rewind() {
    position_ = 0;
    piece_ = 0;
    inPiece_ = 0;
    error_.clear();
}

std::string WriteAll(std::vector<Record> records) {
    Writer w(std::move(records));
    std::string out(static_cast<std::size_t>(w.TotalSize()), '\0');
    std::size_t at = 0;
    while (at < out.size()) {
        const std::size_t got = w.Read(out.data() + at, out.size() - at);
        if (got == 0) {
            return {};
        }
        at += got;
    }
    return out;
}

} // namespace nuvex::dime
