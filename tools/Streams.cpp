#include "tools/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "convert/ConvertFile.h"
#include "convert/Platform.h"
#include "tools/Batch.h"
#include "tools/Progress.h"

namespace bmpvintage {

namespace {

#ifdef _WIN32
using Stat = struct _stat64;
int StatOf(int fd, Stat& st) {
    return ::_fstat64(fd, &st);
}
long long ReadSome(int fd, std::uint8_t* to, std::size_t n) {
    return ::_read(fd, to, static_cast<unsigned>(n > 0x40000000u ? 0x40000000u : n));
}
long long WriteSome(int fd, const std::uint8_t* from, std::size_t n) {
    return ::_write(fd, from, static_cast<unsigned>(n > 0x40000000u ? 0x40000000u : n));
}
long long Offset(int fd) {
    return ::_lseeki64(fd, 0, SEEK_CUR);
}
bool Rewind(int fd) {
    return ::_lseeki64(fd, 0, SEEK_SET) == 0;
}
void CloseFd(int fd) {
    ::_close(fd);
}
long long ModifiedOf(const Stat& st) {
    return static_cast<long long>(st.st_mtime);
}
#else
using Stat = struct stat;
int StatOf(int fd, Stat& st) {
    return ::fstat(fd, &st);
}
long long ReadSome(int fd, std::uint8_t* to, std::size_t n) {
    return ::read(fd, to, n);
}
long long WriteSome(int fd, const std::uint8_t* from, std::size_t n) {
    return ::write(fd, from, n);
}
long long Offset(int fd) {
    return ::lseek(fd, 0, SEEK_CUR);
}
bool Rewind(int fd) {
    return ::lseek(fd, 0, SEEK_SET) == 0;
}
void CloseFd(int fd) {
    ::close(fd);
}
long long ModifiedOf(const Stat& st) {
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}
#endif

// The system's error code of the last failed call: of the C runtime's
// descriptor calls, and of the file layer's calls.
int LastDescriptorError() {
#ifdef _WIN32
    return static_cast<int>(_doserrno);
#else
    return errno;
#endif
}
int LastFileError() {
#ifdef _WIN32
    return static_cast<int>(::GetLastError());
#else
    return errno;
#endif
}

bool IsRegular(const Stat& st) {
    return (st.st_mode & S_IFMT) == S_IFREG;
}

// An unlinked temporary file open for reading and writing, or -1.
int TemporaryFile() {
#ifdef _WIN32
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH || ::GetTempFileNameW(folder, L"bmv", 0, name) == 0) return -1;
    const HANDLE h = ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        ::DeleteFileW(name);
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) ::CloseHandle(h);
    return fd;
#else
    const char* tmpdir = std::getenv("TMPDIR");
    std::string folder = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
#ifdef O_TMPFILE
    // Never has a name, so nothing is left behind even if the program is killed.
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
#endif
    std::string name = folder + "/bmpvintage-stdin-XXXXXX";
    const int named = ::mkstemp(name.data());
    if (named >= 0) ::unlink(name.c_str());
    return named;
#endif
}

}  // namespace

bool UsesStandardStreams(const CommandLine& commandLine) {
    return commandLine.mode == Mode::Pair &&
           (commandLine.inputs.front() == kStandardStream || commandLine.output == kStandardStream);
}

DescriptorSource::DescriptorSource(int fd) : fd_(fd) {
    Stat st;
    if (StatOf(fd, st) == 0 && IsRegular(st)) {
        regular_ = true;
        size_ = static_cast<long long>(st.st_size);
        modified_ = ModifiedOf(st);
    }
}

long long DescriptorSource::Read(std::uint8_t* to, std::size_t n) {
    for (;;) {
        const long long r = ReadSome(fd_, to, n);
        if (r < 0 && errno == EINTR) continue;
        return r < 0 ? -1 : r;
    }
}

bool DescriptorSource::Unchanged() {
    if (!regular_) return true;
    Stat st;
    return StatOf(fd_, st) == 0 && static_cast<long long>(st.st_size) == size_ &&
           ModifiedOf(st) == modified_;
}

bool IsSameRegularFile(int fd, int inputFd, const std::string& input) {
    Stat st;
    if (StatOf(fd, st) != 0 || !IsRegular(st)) return false;
    const std::string identity = DescriptorIdentity(fd);
    return !identity.empty() && identity == (inputFd >= 0 ? DescriptorIdentity(inputFd)
                                                          : FileIdentity(PathFromArgument(input)));
}

bool DescriptorSink::Write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const long long w = WriteSome(fd_, bytes.data(), bytes.size());
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            error_ = w < 0 ? LastDescriptorError() : 0;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(w));
    }
    return true;
}

std::optional<std::uint64_t> RemainingSize(int fd) {
    Stat st;
    if (StatOf(fd, st) != 0 || !IsRegular(st)) return std::nullopt;
    const long long at = Offset(fd);
    if (at < 0) return std::nullopt;
    const auto size = static_cast<long long>(st.st_size);
    return static_cast<std::uint64_t>(at < size ? size - at : 0);
}

Spool::~Spool() {
    if (fd_ >= 0) CloseFd(fd_);
}

Spool::Status Spool::Fill(int from) {
    if (fd_ < 0) fd_ = TemporaryFile();
    if (fd_ < 0) {
        error_ = LastFileError();
        return Status::NoTemporaryFile;
    }
    constexpr std::size_t kPart = std::size_t{256} << 10;
    const std::unique_ptr<std::uint8_t[]> part(new (std::nothrow) std::uint8_t[kPart]);
    if (!part) return Status::NoTemporaryFile;
    DescriptorSource in(from);
    DescriptorSink out(fd_);
    for (;;) {
        const long long r = in.Read(part.get(), kPart);
        if (r < 0) {
            error_ = LastDescriptorError();
            return Status::ReadFailed;
        }
        if (r == 0) break;
        if (!out.Write({part.get(), static_cast<std::size_t>(r)})) {
            error_ = out.error();
            return Status::NoTemporaryFile;
        }
        size_ += static_cast<std::uint64_t>(r);
    }
    return Rewind(fd_) ? Status::Ok : Status::NoTemporaryFile;
}

int ConvertStandardStreams(const CommandLine& commandLine, void (*report)(std::string_view text),
                           sorvane::TemporaryFileWatch* watch) {
    const std::string& input = commandLine.inputs.front();
    const std::string& output = commandLine.output;
    const bool fromStdin = input == kStandardStream;
    const bool toStdout = output == kStandardStream;
    const auto fail = [&](std::string_view line, int error) {
        report(FailureMessage(IsOutputFailure(line) ? output : input, line,
                              error != 0 ? sorvane::SystemErrorText(error) : ""));
        return 1;
    };
#ifdef _WIN32
    if (fromStdin) ::_setmode(0, _O_BINARY);
    if (toStdout) ::_setmode(1, _O_BINARY);
#endif
    if (toStdout && IsSameRegularFile(1, fromStdin ? 0 : -1, input)) return fail(kOutputIsInput, 0);
    if (fromStdin && !toStdout) {
        const std::optional<sorvane::NativePath> resolved =
            sorvane::ResolveOutputPath(PathFromArgument(output).native());
        if (resolved && IsSameRegularFile(0, -1, ArgumentFromPath(*resolved))) {
            report(FailureMessage(output, kInputIsOutput));
            return 1;
        }
    }

    // The input: a named file as the library opens one, or standard input,
    // first spooled when it is a pipe.
    std::unique_ptr<sorvane::InputFile> file;
    std::optional<DescriptorSource> standardInput;
    Spool spool;
    sorvane::ByteSource* source = nullptr;
    std::uint64_t size = 0;
    if (!fromStdin) {
        sorvane::InputStatus opened = sorvane::InputStatus::OpenFailed;
        int error = 0;
        file = sorvane::OpenInputFile(PathFromArgument(input).native(), opened, &error);
        if (!file) {
            return fail(opened == sorvane::InputStatus::ReadFailed ? "Error reading input file"
                                                                   : "Error opening input file",
                        error);
        }
        source = file.get();
        size = file->Size();
    } else if (const std::optional<std::uint64_t> remaining = RemainingSize(0)) {
        source = &standardInput.emplace(0);
        size = *remaining;
    } else {
        switch (spool.Fill(0)) {
            case Spool::Status::Ok:
                break;
            case Spool::Status::ReadFailed:
                return fail("Error reading input file", spool.error());
            case Spool::Status::NoTemporaryFile:
                return fail("No room for a temporary copy of standard input (see TMPDIR)",
                            spool.error());
        }
        source = &standardInput.emplace(spool.fd());
        size = spool.size();
    }

    DescriptorSink standardOutput(1);
    std::unique_ptr<sorvane::OutputFile> out;
    int openError = 0;
    const std::string_view line = sorvane::ConvertFrom(*source, size, [&]() -> sorvane::ByteSink* {
        if (toStdout) return &standardOutput;
        out = sorvane::CreateOutputFile(PathFromArgument(output).native(), watch, &openError);
        return out.get();
    });
    if (!line.empty()) {
        int error = 0;
        if (line == sorvane::StreamStatusLine(sorvane::StreamStatus::OpenOutputFailed)) {
            error = openError;
        } else if (line == sorvane::StreamStatusLine(sorvane::StreamStatus::WriteFailed)) {
            error = toStdout ? standardOutput.error() : out ? out->SystemError() : 0;
        }
        return fail(line, error);
    }
    file.reset();  // Windows replaces no file that is still open
    if (out && !out->Commit()) {
        return fail(sorvane::StreamStatusLine(sorvane::StreamStatus::WriteFailed),
                    out->SystemError());
    }
    return 0;
}

}  // namespace bmpvintage
