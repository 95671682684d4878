#include "tools/Batch.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <system_error>
#include <type_traits>

#ifndef BMPVINTAGE_NO_THREADS
#include <mutex>
#include <thread>
#endif

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

#include <cwctype>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "convert/PosixWalk.h"
#endif

#include "convert/ConvertFile.h"

namespace bmpvintage {

namespace fs = std::filesystem;

fs::path PathFromArgument(const std::string& argument) {
#ifdef _WIN32
    return fs::path(std::u8string(argument.begin(), argument.end()));
#else
    return fs::path(argument);
#endif
}

std::string ArgumentFromPath(const fs::path& path) {
#ifdef _WIN32
    const std::u8string utf8 = path.u8string();
    return std::string(utf8.begin(), utf8.end());
#else
    return path.string();
#endif
}

std::vector<Job> PlanJobs(const CommandLine& commandLine) {
    std::vector<Job> jobs;
    jobs.reserve(commandLine.inputs.size());
    for (const std::string& input : commandLine.inputs) {
        Job job;
        job.input = PathFromArgument(input);
        job.name = input;
        switch (commandLine.mode) {
            case Mode::Pair:
                job.output = PathFromArgument(commandLine.output);
                break;
            case Mode::OutputDir:
                job.output = PathFromArgument(commandLine.outputDir) / job.input.filename();
                break;
            case Mode::InPlace:
                job.output = job.input;
                job.inPlace = true;
                break;
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

namespace {

bool Exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

}  // namespace

bool IsImageName(const fs::path& path) {
    const fs::path::string_type name = path.filename().native();
    if (name.size() < 4) return false;
    std::string end;
    for (std::size_t i = name.size() - 4; i < name.size(); ++i) {
        const auto c = static_cast<std::make_unsigned_t<fs::path::value_type>>(name[i]);
        if (c > 127) return false;
        end += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return end == ".bmp" || end == ".dib";
}

namespace {

// One spelling of a file's identity for FileIdentity and DescriptorIdentity.
#ifdef _WIN32
std::string IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return "file:" + std::to_string(info.dwVolumeSerialNumber) + ":" +
           std::to_string(info.nFileIndexHigh) + ":" + std::to_string(info.nFileIndexLow);
}
#else
std::string IdentityOf(const struct stat& st) {
    return "inode:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}
#endif

// Finds the image files under one folder named on the command line.
class FolderWalk {
  public:
    FolderWalk(const CommandLine& commandLine, Expansion& found)
        : commandLine_(commandLine), jobs_(found.jobs), links_(found.links) {
        if (commandLine.mode == Mode::OutputDir) {
            outputDir_ = PathFromArgument(commandLine.outputDir);
            outputIdentity_ = FileIdentity(outputDir_);
        }
    }

#ifdef _WIN32
    void Walk(const fs::path& root) {
        WalkFolder(root, root);
    }
#else
    // The root is opened as named (a link followed); each folder below from
    // the one held before it (OpenFolderBeneath, no link followed), so a
    // folder swapped for a link is neither listed nor entered.
    void Walk(const fs::path& root) {
        const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        WalkFolder(root, root, fd);
    }
#endif

  private:
    void Unreadable(const fs::path& folder) {
        Job job;
        job.input = folder;
        job.name = ArgumentFromPath(folder);
        job.refusal = kFolderUnreadable;
        jobs_.push_back(std::move(job));
    }

#ifdef _WIN32
    void WalkFolder(const fs::path& root, const fs::path& folder) {
        std::error_code ec;
        std::vector<fs::directory_entry> entries;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            entries.push_back(*it);
        }
        if (ec) return Unreadable(folder);
        std::sort(entries.begin(), entries.end());
        for (const fs::directory_entry& entry : entries) {
            const fs::file_status own = entry.symlink_status(ec);
            if (fs::is_directory(own)) {
                // The output folder may lie inside the tree: its files are
                // the results, not inputs.
                if (outputIdentity_.empty() || FileIdentity(entry.path()) != outputIdentity_) {
                    WalkFolder(root, entry.path());
                }
            } else if (fs::is_symlink(own)) {
                // Not followed, as find does not: no loops, no tree twice,
                // and no file outside the tree toned or copied out through
                // a link another user planted.
                if (IsImageName(entry.path()) || fs::is_directory(entry.status(ec))) {
                    links_.push_back(ArgumentFromPath(entry.path()));
                }
            } else if (IsImageName(entry.path())) {
                Add(root, entry.path());
            }
        }
    }
#else
    // Walks the folder open on `fd` (closed here; -1: it could not be
    // opened), spelt `folder`.
    void WalkFolder(const fs::path& root, const fs::path& folder, int fd) {
        DIR* const listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (listing == nullptr && fd >= 0) ::close(fd);
        if (listing == nullptr) return Unreadable(folder);
        const std::unique_ptr<DIR, int (*)(DIR*)> closer(listing, ::closedir);
        struct stat self;
        if (::fstat(fd, &self) != 0) return Unreadable(folder);
        // The output folder may lie inside the tree: its files are the
        // results, not inputs (the tree itself is walked, and its outputs
        // refused as its inputs). A folder met again below itself (a bind
        // mount of one above) is not walked twice.
        const std::string identity = IdentityOf(self);
        if ((!ancestors_.empty() && identity == outputIdentity_) ||
            std::find(ancestors_.begin(), ancestors_.end(), identity) != ancestors_.end()) {
            return;
        }
        // Every name is looked at before any folder is entered.
        std::vector<std::pair<std::string, mode_t>> entries;
        errno = 0;
        while (const dirent* entry = ::readdir(listing)) {
            const std::string name = entry->d_name;
            struct stat st;
            if (name == "." || name == "..") continue;
            if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                entries.emplace_back(name, st.st_mode);
            }
            errno = 0;
        }
        if (errno != 0) return Unreadable(folder);
        std::sort(entries.begin(), entries.end());
        ancestors_.push_back(identity);
        for (const auto& [name, type] : entries) {
            const fs::path path = folder / name;
            if (S_ISDIR(type)) {
                // A folder swapped for a link since it was looked at is a
                // link, and said to be one.
                const int inner = sorvane::posix::OpenFolderBeneath(fd, name.c_str(), true);
                struct stat st;
                if (inner < 0 && (errno == ELOOP || errno == ENOTDIR) &&
                    ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISLNK(st.st_mode)) {
                    links_.push_back(ArgumentFromPath(path));
                    continue;
                }
                // Mirrored with the source folder's permission bits; its
                // owner keeps the right to fill it.
                modes_.push_back(inner >= 0 && ::fstat(inner, &st) == 0 ? (st.st_mode & 0777) | 0700
                                                                        : 0777);
                WalkFolder(root, path, inner);
                modes_.pop_back();
            } else if (S_ISLNK(type)) {
                // Not followed, as find does not: no loops, no tree twice,
                // and no file outside the tree toned or copied out through
                // a link another user planted.
                struct stat target;
                if (IsImageName(path) ||
                    (::fstatat(fd, name.c_str(), &target, 0) == 0 && S_ISDIR(target.st_mode))) {
                    links_.push_back(ArgumentFromPath(path));
                }
            } else if (IsImageName(path)) {
                Add(root, path);
            }
        }
        ancestors_.pop_back();
    }
#endif

    void Add(const fs::path& root, const fs::path& file) {
        Job job;
        job.input = file;
        job.name = ArgumentFromPath(file);
        job.root = root;
        job.inside = file.lexically_relative(root);
        if (commandLine_.mode == Mode::OutputDir) {
            job.output = outputDir_ / job.inside;
            job.makeFolder = job.inside.has_parent_path();
            job.folderModes = modes_;
        } else {
            job.output = file;
            job.inPlace = true;
        }
        jobs_.push_back(std::move(job));
    }

    const CommandLine& commandLine_;
    std::vector<Job>& jobs_;
    std::vector<std::string>& links_;
    fs::path outputDir_;
    std::string outputIdentity_;
    std::vector<std::string> ancestors_;  // the folders being walked, by identity
    std::vector<unsigned> modes_;         // and the modes of those below the root
};

}  // namespace

Expansion ExpandFolders(std::vector<Job> jobs, const CommandLine& commandLine) {
    Expansion found;
    std::vector<Job>& expanded = found.jobs;
    expanded.reserve(jobs.size());
    FolderWalk walk(commandLine, found);
    for (Job& job : jobs) {
        std::error_code ec;
        if (!job.refusal.empty() || !fs::is_directory(job.input, ec)) {
            expanded.push_back(std::move(job));
        } else if (!commandLine.recursive || commandLine.mode == Mode::Pair) {
            job.refusal = kIsAFolder;
            expanded.push_back(std::move(job));
        } else {
            walk.Walk(job.input);
        }
    }
    return found;
}

std::string FileIdentity(const fs::path& path) {
#ifdef _WIN32
    // The volume and file index name the file whatever its case, short name
    // or hard link.
    const HANDLE h =
        ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
        ::CloseHandle(h);
        if (ok) return IdentityOf(info);
    }
#else
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return IdentityOf(st);
#endif
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(path, ec);
    if (ec) canonical = fs::absolute(path, ec).lexically_normal();
#ifdef _WIN32
    // File names differ only in case on Windows' file systems.
    std::wstring name = canonical.native();
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
    // As UTF-8: the code page cannot spell every name.
    const std::u8string utf8 = fs::path(name).u8string();
    return "path:" + std::string(utf8.begin(), utf8.end());
#else
    return "path:" + canonical.string();
#endif
}

std::string DescriptorIdentity(int fd) {
#ifdef _WIN32
    BY_HANDLE_FILE_INFORMATION info;
    const auto h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || ::GetFileInformationByHandle(h, &info) == 0) return {};
    return IdentityOf(info);
#else
    struct stat st;
    if (::fstat(fd, &st) != 0) return {};
    return IdentityOf(st);
#endif
}

void RefuseClashes(std::span<Job> jobs, bool inPlace) {
    std::set<std::string> inputs;
    if (!inPlace) {
        // Only inputs that exist can be harmed; a missing one fails on its own.
        for (const Job& job : jobs) {
            if (Exists(job.input)) inputs.insert(FileIdentity(job.input));
        }
    }
    std::set<std::string> outputs;
    for (Job& job : jobs) {
        if (!job.refusal.empty()) continue;
        // A link to a file that does not exist yet is written as that file.
        const std::optional<sorvane::NativePath> resolved =
            sorvane::ResolveOutputPath(job.output.native());
        const std::string output = FileIdentity(resolved ? fs::path(*resolved) : job.output);
        if (inputs.contains(output)) {
            job.refusal = kOverwritesInput;
        } else if (!outputs.insert(output).second) {
            job.refusal = kSameOutput;
        }
    }
}

bool IsOutputFailure(std::string_view line) {
    return line == sorvane::StreamStatusLine(sorvane::StreamStatus::OpenOutputFailed) ||
           line == sorvane::StreamStatusLine(sorvane::StreamStatus::WriteFailed);
}

namespace {

// The folders above a tree file's output, each made with the mode of the
// folder it mirrors, from the top: DIR/a with a's, then DIR/a/b with b's.
int MakeMirrorFolders(const Job& job) {
    const fs::path parent = job.inside.parent_path();
    if (job.folderModes.size() !=
        static_cast<std::size_t>(std::distance(parent.begin(), parent.end())))
        return sorvane::MakeOutputFolders(job.output.parent_path().native());
    fs::path folder = job.output;
    for (auto it = job.inside.begin(); it != job.inside.end(); ++it) folder = folder.parent_path();
    std::size_t level = 0;
    for (const fs::path& name : parent) {
        folder /= name;
        const int error = sorvane::MakeOutputFolders(folder.native(), job.folderModes[level++]);
        if (error != 0) return error;
    }
    return 0;
}

}  // namespace

sorvane::FileConversion RunJob(const Job& job, sorvane::TemporaryFileWatch* watch) {
    try {
        sorvane::InputStatus opened = sorvane::InputStatus::OpenFailed;
        int error = 0;
        std::unique_ptr<sorvane::InputFile> input =
            job.root.empty() ? sorvane::OpenInputFile(job.input.native(), opened, &error)
                             : sorvane::OpenInputFileBeneath(job.root.native(), job.inside.native(),
                                                             opened, &error);
        if (!input) {
            return {opened == sorvane::InputStatus::ReadFailed ? "Error reading input file"
                                                               : "Error opening input file",
                    error};
        }
        if (job.makeFolder) {
            error = MakeMirrorFolders(job);
            if (error != 0) {
                return {sorvane::StreamStatusLine(sorvane::StreamStatus::OpenOutputFailed), error};
            }
        }
        std::optional<sorvane::NativePath> output;
        if (!job.output.empty()) output = job.output.native();
        return sorvane::ConvertOpenedFile(std::move(input), output, watch, job.inPlace);
    } catch (...) {
        return {"Not enough memory"};
    }
}

void RunJobs(std::span<const Job> jobs, unsigned threads,
             const std::function<sorvane::FileConversion(const Job&)>& run,
             const std::function<void(std::size_t, const sorvane::FileConversion&)>& finished) {
    const auto line = [&](std::size_t i) {
        return jobs[i].refusal.empty() ? run(jobs[i]) : sorvane::FileConversion{jobs[i].refusal};
    };
#ifdef BMPVINTAGE_NO_THREADS
    // A toolchain without std::thread (MinGW's win32 thread model): one at a time.
    (void)threads;
    for (std::size_t i = 0; i < jobs.size(); ++i) finished(i, line(i));
#else
    std::atomic<std::size_t> next{0};
    std::mutex finishing;
    const auto work = [&] {
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            const sorvane::FileConversion result = line(i);
            const std::lock_guard lock(finishing);
            finished(i, result);
        }
    };
    threads = std::max(1u, threads);
    std::vector<std::jthread> pool;
    pool.reserve(threads - 1);
    try {
        for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads than asked for: the ones running share the work.
    }
    work();  // this thread works too
#endif
}

unsigned ThreadCount(unsigned requested, std::size_t jobs) {
#ifdef BMPVINTAGE_NO_THREADS
    unsigned n = 1;
    (void)requested;
#else
    unsigned n = requested != 0 ? requested : std::thread::hardware_concurrency();
#endif
    if (n == 0) n = 1;
    if (jobs < n) n = static_cast<unsigned>(std::max<std::size_t>(jobs, 1));
    return n;
}

}  // namespace bmpvintage
