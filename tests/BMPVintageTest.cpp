// The exported operation, through real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>

#include "BMPVintage.h"
#include "BmpBuilder.h"
#include "TestFiles.h"
#include "tone/VintageTone.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using testfiles::ReadAll;
using testfiles::WriteAll;

// UTF-8 to UTF-16, enough for test paths.
std::u16string U16(const std::string& s) {
    std::u16string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::uint32_t cp;
        int n;
        if (c < 0x80) {
            cp = c, n = 1;
        } else if (c < 0xE0) {
            cp = c & 0x1F, n = 2;
        } else if (c < 0xF0) {
            cp = c & 0x0F, n = 3;
        } else {
            cp = c & 0x07, n = 4;
        }
        for (int k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

struct Outcome {
    int result;
    std::string stderrText;
};

// Runs BMPVintage with standard error captured.
Outcome Convert(const char16_t* in, const char16_t* out) {
    const int capture = ::memfd_create("stderr", 0);  // no file outside the test's folder
    std::fflush(stderr);
    const int saved = ::dup(2);
    ::dup2(capture, 2);
    const int result = BMPVintage(in, out);
    ::dup2(saved, 2);
    ::close(saved);
    std::string text;
    ::lseek(capture, 0, SEEK_SET);
    char buf[256];
    ssize_t n;
    while ((n = ::read(capture, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(capture);
    return {result, text};
}

Outcome Convert(const fs::path& in, const fs::path& out) {
    const auto a = U16(in.string()), b = U16(out.string());
    return Convert(a.c_str(), b.c_str());
}

class BMPVintageFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "sorvane-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Every file in the directory but the ones named.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir;
};

Bytes Toned(Bytes b, std::size_t from) {
    for (std::size_t i = from; i + 3 <= b.size(); i += 3) sorvane::ToneOnePixel(&b[i]);
    return b;
}

TEST_F(BMPVintageFiles, ConvertsSmallImages) {
    bmptest::Bmp24 four;  // 4 x 2
    const Bytes in = four.Build();
    ASSERT_EQ(in.size(), 78u);
    WriteAll(dir / "in.bmp", in);
    const Outcome o = Convert(dir / "in.bmp", dir / "out.bmp");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.stderrText, "");
    const Bytes out = ReadAll(dir / "out.bmp");
    ASSERT_EQ(out.size(), 78u);
    EXPECT_TRUE(std::equal(in.begin(), in.begin() + 54, out.begin()));
    EXPECT_EQ(out, Toned(in, 54));
    EXPECT_EQ(ReadAll(dir / "in.bmp"), in);
}

TEST_F(BMPVintageFiles, WhiteRow) {
    bmptest::Bmp24 white;
    white.width = 4;
    white.height = 1;
    white.pixel = [](int, int) { return bmptest::Rgb{255, 255, 255}; };
    WriteAll(dir / "white.bmp", white.Build());
    ASSERT_EQ(Convert(dir / "white.bmp", dir / "out.bmp").result, 0);
    const Bytes out = ReadAll(dir / "out.bmp");
    ASSERT_EQ(out.size(), 66u);
    for (std::size_t i = 54; i < 66; i += 3)
        EXPECT_EQ(Bytes(out.begin() + i, out.begin() + i + 3), (Bytes{214, 229, 229}));
}

TEST_F(BMPVintageFiles, EmptyImagesAreCopied) {
    for (const auto& [w, h] : {std::pair{0, 2}, std::pair{4, 0}}) {
        bmptest::Bmp24 b;
        b.width = w;
        b.height = h;
        const Bytes in = b.Build();
        ASSERT_EQ(in.size(), 54u);
        WriteAll(dir / "empty.bmp", in);
        const Outcome o = Convert(dir / "empty.bmp", dir / "out.bmp");
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(ReadAll(dir / "out.bmp"), in);
    }
}

TEST_F(BMPVintageFiles, InPlace) {
    bmptest::Bmp24 b;
    b.width = 5;
    b.height = 3;
    const Bytes in = b.Build();
    WriteAll(dir / "same.bmp", in);
    ASSERT_EQ(::chmod((dir / "same.bmp").c_str(), 0644), 0);  // and no ACL that would carry it
    ASSERT_EQ(Convert(dir / "same.bmp", dir / "same.bmp").result, 0);
    struct stat st;
    ASSERT_EQ(::stat((dir / "same.bmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    const Bytes out = ReadAll(dir / "same.bmp");
    ASSERT_EQ(out.size(), in.size());
    EXPECT_TRUE(std::equal(in.begin(), in.begin() + 54, out.begin()));
    EXPECT_NE(out, in);
    EXPECT_EQ(Entries(), std::vector<std::string>{"same.bmp"});
}

TEST_F(BMPVintageFiles, UnicodeNames) {
    const Bytes in = bmptest::Bmp24{}.Build();
    const fs::path src = dir / "caf\xc3\xa9 \xe2\x98\x95.bmp";
    const fs::path dst = dir / "\xf0\x9f\x93\xb7 out.bmp";
    WriteAll(src, in);
    ASSERT_EQ(Convert(src, dst).result, 0);
    EXPECT_EQ(ReadAll(dst), Toned(in, 54));
}

// A replaced output, reached through a symbolic link, keeps its permission
// bits less set-user-ID and set-group-ID, its owner and group, and its
// extended attributes (a POSIX ACL among them). Another hard link to it
// keeps the old image.
TEST_F(BMPVintageFiles, ReplacedOutputKeepsItsMetadata) {
    const Bytes in = bmptest::Bmp24{}.Build();
    const Bytes old = {1, 2, 3};
    WriteAll(dir / "in.bmp", in);
    const fs::path target = dir / "target.bmp";
    WriteAll(target, old);
    fs::create_hard_link(target, dir / "other-name.bmp");
    fs::create_symlink("target.bmp", dir / "link.bmp");
    const Bytes acl = testfiles::AclWithNobody();
    const std::string note = "scanned 1987";
    const bool xattrs =
        ::setxattr(target.c_str(), "user.note", note.data(), note.size(), 0) == 0 &&
        ::setxattr(target.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
    // Another owner only where the tests run as root (as in CI).
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(::chmod(target.c_str(), 06754), 0);  // the ACL's entries follow the mode
    char value[256];
    const Bytes aclBefore(
        value, value + std::max<ssize_t>(0, ::getxattr(target.c_str(), "system.posix_acl_access",
                                                       value, sizeof value)));

    ASSERT_EQ(Convert(dir / "in.bmp", dir / "link.bmp").result, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.bmp"));
    EXPECT_EQ(ReadAll(target), Toned(in, 54));
    EXPECT_EQ(ReadAll(dir / "other-name.bmp"), old);
    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0754u);
    EXPECT_EQ(st.st_uid, root ? 65534u : ::geteuid());
    EXPECT_EQ(st.st_gid, root ? 65534u : ::getegid());
    if (!xattrs) GTEST_SKIP() << "no extended attributes on " << dir;
    const ssize_t n = ::getxattr(target.c_str(), "user.note", value, sizeof value);
    EXPECT_EQ(std::string(value, static_cast<std::size_t>(std::max<ssize_t>(n, 0))), note);
    const ssize_t m = ::getxattr(target.c_str(), "system.posix_acl_access", value, sizeof value);
    EXPECT_EQ(Bytes(value, value + std::max<ssize_t>(m, 0)), aclBefore);
    EXPECT_EQ(aclBefore.size(), acl.size());
}

// Names up to the file system's limit: the temporary file beside them must
// fit too.
TEST_F(BMPVintageFiles, LongestNames) {
    const Bytes in = bmptest::Bmp24{}.Build();
    const fs::path name = dir / (std::string(251, 'n') + ".bmp");
    WriteAll(name, in);
    ASSERT_EQ(Convert(name, name).result, 0);
    EXPECT_EQ(ReadAll(name), Toned(in, 54));
    EXPECT_EQ(Entries().size(), 1u);
}

// A new output takes its input's read and write bits less the umask: a
// private image stays private, and none gets more than a plain new file.
TEST_F(BMPVintageFiles, NewOutputKeepsItsInputsPrivacy) {
    WriteAll(dir / "in.bmp", bmptest::Bmp24{}.Build());
    const mode_t mask = ::umask(022);
    for (const auto& [in, out] : {std::pair{0755u, 0644u}, {0600u, 0600u}, {0660u, 0640u}}) {
        SCOPED_TRACE(in);
        ASSERT_EQ(::chmod((dir / "in.bmp").c_str(), in), 0);
        fs::remove(dir / "new.bmp");
        EXPECT_EQ(Convert(dir / "in.bmp", dir / "new.bmp").result, 0);
        struct stat st;
        ASSERT_EQ(::stat((dir / "new.bmp").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, out);
    }
    ::umask(mask);
}

// A failing call, the line it must print, and the state it must leave.
struct FailureCase {
    const char* name;
    std::function<void(const fs::path& dir)> prepare;  // makes in.bmp (and maybe out.bmp)
    std::function<Outcome(const fs::path& dir)> call;
    const char* line;
};

Outcome Plain(const fs::path& d) {
    return Convert(d / "in.bmp", d / "out.bmp");
}

void GoodInput(const fs::path& d) {
    WriteAll(d / "in.bmp", bmptest::Bmp24{}.Build());
}

void WithOutputThere(const fs::path& d) {
    WriteAll(d / "out.bmp", Bytes{'k', 'e', 'e', 'p'});
}

TEST_F(BMPVintageFiles, FailuresPrintOneLineAndTouchNothing) {
    const FailureCase cases[] = {
        {"missing input", [](auto&) {}, Plain, "Error opening input file\n"},
        {"input is a directory", [](auto& d) { fs::create_directory(d / "in.bmp"); }, Plain,
         "Error opening input file\n"},
        {"null input", GoodInput,
         [](auto& d) {
             const auto out = U16((d / "out.bmp").string());
             return Convert(nullptr, out.c_str());
         },
         "Error opening input file\n"},
        {"empty input path", GoodInput,
         [](auto& d) {
             const auto out = U16((d / "out.bmp").string());
             return Convert(u"", out.c_str());
         },
         "Error opening input file\n"},
        {"unpaired surrogate in input", GoodInput,
         [](auto& d) {
             auto in = U16((d / "in.bmp").string());
             in.insert(in.size() - 4, 1, char16_t{0xD800});
             const auto out = U16((d / "out.bmp").string());
             return Convert(in.c_str(), out.c_str());
         },
         "Error opening input file\n"},
        {"text file",
         [](auto& d) {
             WriteAll(d / "in.bmp", Bytes{'h', 'e', 'l', 'l', 'o'});
         },
         Plain, "Not a valid BMP file\n"},
        {"zip file",
         [](auto& d) {
             WriteAll(d / "in.bmp", Bytes{'P', 'K', 3, 4, 0, 0});
         },
         Plain, "Not a valid BMP file\n"},
        {"empty file", [](auto& d) { WriteAll(d / "in.bmp", Bytes{}); }, Plain,
         "Not a valid BMP file\n"},
        {"just BM",
         [](auto& d) {
             WriteAll(d / "in.bmp", Bytes{'B', 'M'});
         },
         Plain, "Not a valid BMP file\n"},
        {"truncated pixels",
         [](auto& d) {
             Bytes b = bmptest::Bmp24{}.Build();
             b.resize(70);
             WriteAll(d / "in.bmp", b);
         },
         Plain, "Not a valid BMP file\n"},
        {"claims 100000 x 100000",
         [](auto& d) {
             Bytes b = bmptest::Bmp24{}.Build();
             bmptest::PutU32(b, 18, 100000);
             bmptest::PutU32(b, 22, 100000);
             WriteAll(d / "in.bmp", b);
         },
         Plain, "Not a valid BMP file\n"},
        {"8-bit image without a colour table",
         [](auto& d) {
             Bytes b = bmptest::Bmp24{}.Build();
             bmptest::PutU16(b, 28, 8);
             WriteAll(d / "in.bmp", b);
         },
         Plain, "Not a valid BMP file\n"},
        {"64-bit image",
         [](auto& d) {
             Bytes b = bmptest::Bmp24{}.Build();
             bmptest::PutU16(b, 28, 64);
             WriteAll(d / "in.bmp", b);
         },
         Plain, "Unsupported BMP file\n"},
        {"missing output directory", GoodInput,
         [](auto& d) { return Convert(d / "in.bmp", d / "no-such-dir" / "out.bmp"); },
         "Error opening output file\n"},
        {"output under a regular file", GoodInput,
         [](auto& d) { return Convert(d / "in.bmp", d / "in.bmp" / "out.bmp"); },
         "Error opening output file\n"},
        {"output is a directory",
         [](auto& d) {
             GoodInput(d);
             fs::create_directory(d / "outdir");
         },
         [](auto& d) { return Convert(d / "in.bmp", d / "outdir"); },
         "Error opening output file\n"},
        {"null output", GoodInput,
         [](auto& d) {
             const auto in = U16((d / "in.bmp").string());
             return Convert(in.c_str(), nullptr);
         },
         "Error opening output file\n"},
        {"unpaired surrogate in output", GoodInput,
         [](auto& d) {
             const auto in = U16((d / "in.bmp").string());
             auto out = U16((d / "out.bmp").string());
             out += char16_t{0xDC01};
             return Convert(in.c_str(), out.c_str());
         },
         "Error opening output file\n"},
    };
    for (const auto& c : cases) {
        for (const bool outputExists : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (outputExists ? ", output exists" : ""));
            fs::remove_all(dir);
            fs::create_directory(dir);
            c.prepare(dir);
            if (outputExists) WithOutputThere(dir);
            const auto before = Entries();
            const Bytes input =
                fs::is_regular_file(dir / "in.bmp") ? ReadAll(dir / "in.bmp") : Bytes{};
            const Outcome o = c.call(dir);
            EXPECT_EQ(o.result, 1);
            EXPECT_EQ(o.stderrText, c.line);
            EXPECT_EQ(Entries(), before);
            if (outputExists) {
                EXPECT_EQ(ReadAll(dir / "out.bmp"), (Bytes{'k', 'e', 'e', 'p'}));
            }
            if (fs::is_regular_file(dir / "in.bmp")) {
                EXPECT_EQ(ReadAll(dir / "in.bmp"), input);
            }
        }
    }
}

// The device is this test's own (a FIFO where it may not make one).
TEST_F(BMPVintageFiles, DeviceOutputIsRefused) {
    WriteAll(dir / "in.bmp", bmptest::Bmp24{}.Build());
    const fs::path null = dir / "null";
    ASSERT_EQ(::geteuid() == 0 ? ::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3))
                               : ::mkfifo(null.c_str(), 0666),
              0);
    const Outcome o = Convert(dir / "in.bmp", null);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.stderrText, "Error opening output file\n");
    struct stat st;
    ASSERT_EQ(::stat(null.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode));
}

// Runs the conversion in a child whose files may not grow past `limit`
// bytes, so the write fails midway.
Outcome ConvertWithFileSizeLimit(const fs::path& in, const fs::path& out, rlim_t limit) {
    const int capture = ::memfd_create("stderr", 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(capture, 2);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit rl{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &rl);
        const auto a = U16(in.string()), b = U16(out.string());
        _exit(BMPVintage(a.c_str(), b.c_str()) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::string text;
    ::lseek(capture, 0, SEEK_SET);
    char buf[256];
    ssize_t n;
    while ((n = ::read(capture, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(capture);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

TEST_F(BMPVintageFiles, FailedWriteLosesNothing) {
    bmptest::Bmp24 big;
    big.width = 300;
    big.height = 100;  // 90,054 bytes
    const Bytes in = big.Build();
    for (const bool inPlace : {true, false}) {
        SCOPED_TRACE(inPlace ? "in place" : "new output");
        fs::remove_all(dir);
        fs::create_directory(dir);
        WriteAll(dir / "in.bmp", in);
        const fs::path out = inPlace ? dir / "in.bmp" : dir / "out.bmp";
        const Outcome o = ConvertWithFileSizeLimit(dir / "in.bmp", out, 4096);
        // The child's own capture file is outside the limit's reach: the
        // line (25 bytes) fits well below it.
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.stderrText, "Error writing output file\n");
        EXPECT_EQ(ReadAll(dir / "in.bmp"), in);
        EXPECT_EQ(Entries(), std::vector<std::string>{"in.bmp"});
    }
}

}  // namespace
