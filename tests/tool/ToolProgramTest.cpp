// The bmpvintage program run as a user runs it: exit status, messages and
// the files it leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BmpBuilder.h"
#include "TestFiles.h"
#include "convert/BMPLayout.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using testfiles::ReadAll;
using testfiles::WriteAll;

std::string ReadText(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// The toned file, computed by the layout code directly.
Bytes Toned(Bytes b) {
    EXPECT_EQ(sorvane::ToneBMPFile(b), sorvane::LayoutStatus::Converted);
    return b;
}

// "stem3.bmp"
std::string Numbered(const char* stem, int i) {
    std::string name = stem;
    name += std::to_string(i);
    name += ".bmp";
    return name;
}

std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

struct Result {
    int status = -1;  // exit status, or -1 if it did not exit normally
    std::string out, err;
};

class Program : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "sorvane-cli-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs `argv` with standard output and error going to files (so never a
    // terminal), standard input from /dev/null and `env` added to the
    // environment.
    Result RunCommand(std::vector<std::string> argv,
                      const std::vector<std::pair<std::string, std::string>>& env = {}) {
        const std::string outPath = (dir / ".stdout").string(),
                          errPath = (dir / ".stderr").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        std::vector<std::string> envText;
        for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
        for (char** e = environ; *e != nullptr; ++e) envText.emplace_back(*e);
        std::vector<char*> envp;
        for (std::string& e : envText) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t pid;
        Result r;
        const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            ADD_FAILURE() << "cannot start " << argv[0];
            return r;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
        r.out = ReadText(outPath);
        r.err = ReadText(errPath);
        fs::remove(outPath);
        fs::remove(errPath);
        return r;
    }

    // Runs a shell command in `dir`, with bmpvintage a function that runs
    // the program.
    Result Shell(const std::string& command) {
        return RunCommand(
            {"/bin/sh", "-c", "bmpvintage() { \"$B\" \"$@\"; }; cd \"$D\" && " + command, "sh"},
            {{"B", BMPVINTAGE_PROGRAM}, {"D", P(dir)}});
    }

    Result Run(std::vector<std::string> args) {
        args.insert(args.begin(), BMPVINTAGE_PROGRAM);
        return RunCommand(std::move(args));
    }

    // Writes a distinct small BMP and returns its bytes.
    Bytes Image(const fs::path& p, int seed) {
        bmptest::Bmp24 bmp;
        bmp.width = 3 + seed % 4;  // padded rows for some
        bmp.height = 2 + seed % 3;
        bmp.pixel = [seed](int x, int y) {
            return bmptest::Rgb{static_cast<std::uint8_t>(x * 31 + seed * 17),
                                static_cast<std::uint8_t>(y * 57 + seed),
                                static_cast<std::uint8_t>(255 - x - y * seed)};
        };
        Bytes b = bmp.Build();
        WriteAll(p, b);
        return b;
    }

    std::string P(const fs::path& p) const { return p.string(); }

    fs::path dir;
};

TEST_F(Program, ConvertsOnePairQuietly) {
    const Bytes in = Image(dir / "a.bmp", 1);
    const Result r = Run({P(dir / "a.bmp"), P(dir / "b.bmp")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadAll(dir / "b.bmp"), Toned(in));
    EXPECT_EQ(ReadAll(dir / "a.bmp"), in);
}

TEST_F(Program, BatchWithBadFilesConvertsTheRestAndNamesEachFailure) {
    fs::create_directory(dir / "in");
    std::vector<std::string> args = {"--output-dir", P(dir / "out" / "deep")};
    std::vector<Bytes> good;
    for (int i = 0; i < 6; ++i) {
        const fs::path p = dir / "in" / Numbered("good", i);
        good.push_back(Image(p, i));
        args.push_back(P(p));
        if (i == 2) {
            std::ofstream(dir / "in" / "notes.bmp") << "not an image";
            args.push_back(P(dir / "in" / "notes.bmp"));
            args.push_back(P(dir / "in" / "missing.bmp"));
        }
    }
    for (const char* jobs : {"1", "3"}) {
        SCOPED_TRACE(jobs);
        fs::remove_all(dir / "out");
        std::vector<std::string> withJobs = args;
        withJobs.insert(withJobs.begin(), {"--jobs", jobs});
        const Result r = Run(withJobs);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        // One line per failure, naming the file as given; no progress text
        // because standard error is not a terminal.
        EXPECT_EQ(Lines(r.err),
                  (std::set<std::string>{
                      "bmpvintage: " + P(dir / "in" / "notes.bmp") + ": Not a valid BMP file",
                      "bmpvintage: " + P(dir / "in" / "missing.bmp") +
                          ": Error opening input file (No such file or directory)",
                  }));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2);
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(ReadAll(dir / "out" / "deep" / Numbered("good", i)), Toned(good[i])) << i;
        }
        EXPECT_FALSE(fs::exists(dir / "out" / "deep" / "notes.bmp"));
        EXPECT_FALSE(fs::exists(dir / "out" / "deep" / "missing.bmp"));
    }
}

TEST_F(Program, BatchOfGoodFilesExitsZeroAndPrintsNothing) {
    std::vector<std::string> args = {"--output-dir", P(dir / "out")};
    for (int i = 0; i < 5; ++i) {
        Image(dir / Numbered("f", i), i);
        args.push_back(P(dir / Numbered("f", i)));
    }
    const Result r = Run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
}

TEST_F(Program, OutputDirThatCannotBeMade) {
    Image(dir / "a.bmp", 0);
    std::ofstream(dir / "file") << "x";
    const Result r = Run({"--output-dir", P(dir / "file"), P(dir / "a.bmp")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bmpvintage: " + P(dir / "file") +
                         ": Cannot create output directory (Not a directory)\n");
}

TEST_F(Program, InPlaceReplacesEachInputOnce) {
    const Bytes a = Image(dir / "a.bmp", 1), b = Image(dir / "b.bmp", 2);
    std::ofstream(dir / "c.bmp") << "BM but short";
    const Bytes c = ReadAll(dir / "c.bmp");
    // a.bmp is named twice: toned once, the second naming refused.
    const Result r = Run({"--in-place", P(dir / "a.bmp"), P(dir / "b.bmp"), P(dir / "c.bmp"),
                          P(dir / "." / "a.bmp")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.err), (std::set<std::string>{
                                "bmpvintage: " + P(dir / "c.bmp") + ": Not a valid BMP file",
                                "bmpvintage: " + P(dir / "." / "a.bmp") +
                                    ": Same output file as an earlier input",
                            }));
    EXPECT_EQ(ReadAll(dir / "a.bmp"), Toned(a));
    EXPECT_EQ(ReadAll(dir / "b.bmp"), Toned(b));
    EXPECT_EQ(ReadAll(dir / "c.bmp"), c);

    const Result again = Run({"--in-place", P(dir / "b.bmp")});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(ReadAll(dir / "b.bmp"), Toned(Toned(b)));
}

TEST_F(Program, RefusesToOverwriteAnInput) {
    const Bytes a = Image(dir / "a.bmp", 3);
    fs::create_directory(dir / "sub");
    fs::create_symlink("a.bmp", dir / "link.bmp");
    fs::create_hard_link(dir / "a.bmp", dir / "hard.bmp");
    const std::string refusal =
        ": Output would overwrite an input file (use --in-place to replace inputs)\n";
    for (const fs::path& out :
         {dir / "a.bmp", dir / "sub" / ".." / "a.bmp", dir / "link.bmp", dir / "hard.bmp"}) {
        const Result r = Run({P(dir / "a.bmp"), P(out)});
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_EQ(r.err, "bmpvintage: " + P(dir / "a.bmp") + refusal) << out;
    }
    // The input's own directory as --output-dir.
    const Result r = Run({"--output-dir", P(dir / "sub" / ".."), P(dir / "a.bmp")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bmpvintage: " + P(dir / "a.bmp") + refusal);
    EXPECT_EQ(ReadAll(dir / "a.bmp"), a);
}

TEST_F(Program, FoldersWithRecursive) {
    // photos/ holds images at two depths, a damaged one, a file that is not
    // an image and a link to a folder outside it.
    const fs::path photos = dir / "photos";
    fs::create_directories(photos / "2020" / "May");
    fs::create_directories(dir / "elsewhere");
    const std::vector<std::string> names = {"a.bmp", "2020/B.DIB", "2020/May/c.Bmp"};
    std::vector<Bytes> images;
    for (std::size_t i = 0; i < names.size(); ++i) {
        images.push_back(Image(photos / names[i], static_cast<int>(i)));
    }
    Image(dir / "elsewhere" / "x.bmp", 7);
    fs::create_directory_symlink(dir / "elsewhere", photos / "2020" / "linked");
    std::ofstream(photos / "2020" / "notes.txt") << "not an image";
    std::ofstream(photos / "2020" / "bad.bmp") << "BM but short";
    const std::string bad = "bmpvintage: " + P(photos) +
                            "/2020/linked: Symbolic link not followed\nbmpvintage: " + P(photos) +
                            "/2020/bad.bmp: Not a valid BMP file\n";

    struct Case {
        std::vector<std::string> args;
        fs::path outputs;  // where the toned images land; empty: nowhere
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"-r", "--output-dir", P(dir / "out"), P(photos) + "/"}, dir / "out", 1, bad},
        {{"--output-dir", P(dir / "out"), P(photos)},
         {},
         1,
         "bmpvintage: " + P(photos) +
             ": Is a folder (use --recursive with --output-dir or --in-place to convert the "
             "files in it)\n"},
        {{"--in-place", "--jobs", "2", "--recursive", P(photos)}, photos, 1, bad},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        fs::remove_all(dir / "out");
        const Result r = Run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (c.outputs.empty()) {
                EXPECT_FALSE(fs::exists(dir / "out" / names[i]));
            } else {
                EXPECT_EQ(ReadAll(c.outputs / names[i]), Toned(images[i])) << names[i];
            }
        }
        EXPECT_EQ(ReadText(photos / "2020" / "notes.txt"), "not an image");
        EXPECT_FALSE(fs::exists(dir / "out" / "2020" / "notes.txt"));
        EXPECT_FALSE(fs::exists(dir / "out" / "2020" / "linked"));
    }
    // Only the link to the folder kept the outside file from being toned.
    EXPECT_EQ(ReadAll(dir / "elsewhere" / "x.bmp"), Image(dir / "elsewhere" / "y.bmp", 7));

    // A folder that cannot be read is reported and the rest still converted.
    // Root reads every folder, so as root a copy of the program (the build
    // tree may be closed to others) runs as nobody.
    const fs::path locked = dir / "locked";
    fs::create_directories(locked / "shut");
    const Bytes open = Image(locked / "open.bmp", 4);
    Image(locked / "shut" / "s.bmp", 5);
    fs::permissions(dir, fs::perms::all);
    fs::permissions(locked / "shut", fs::perms::none);
    std::vector<std::string> argv = {BMPVINTAGE_PROGRAM, "-r", "--output-dir", P(dir / "out"),
                                     P(locked)};
    if (::geteuid() == 0) {
        fs::copy_file(BMPVINTAGE_PROGRAM, dir / "bmpvintage");
        argv[0] = P(dir / "bmpvintage");
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    fs::remove_all(dir / "out");
    const Result r = RunCommand(argv);
    fs::permissions(locked / "shut", fs::perms::owner_all);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bmpvintage: " + P(locked / "shut") + ": Error opening folder\n");
    EXPECT_EQ(ReadAll(dir / "out" / "open.bmp"), Toned(open));
}

// "-" as INPUT or OUTPUT, run through the shell for its pipes and
// redirections. The image is larger than the program's buffer, so that it
// goes through in several parts.
TEST_F(Program, StandardInputAndOutput) {
    bmptest::Bmp24 big;
    big.width = 701;  // padded rows
    big.height = 600;
    const Bytes in = big.Build();
    ASSERT_GT(in.size(), std::size_t{1} << 20);
    WriteAll(dir / "in.bmp", in);
    Bytes prefixed = {'J', 'U', 'N', 'K', '!'};
    prefixed.insert(prefixed.end(), in.begin(), in.end());
    WriteAll(dir / "prefixed.bmp", prefixed);
    fs::create_directory(dir / "dash");
    WriteAll(dir / "dash" / "-", in);
    const std::string toned = [&] {
        const Bytes t = Toned(in);
        return std::string(t.begin(), t.end());
    }();
    const std::string notValid = "bmpvintage: -: Not a valid BMP file\n";

    struct Case {
        std::string command;  // a shell command run in `dir`
        int status;
        std::string out, err;
        std::string file;  // where the toned image must land, if not standard output
    };
    const std::vector<Case> cases = {
        {"cat in.bmp | bmpvintage - -", 0, toned, "", ""},
        {"bmpvintage - - < in.bmp", 0, toned, "", ""},
        {"bmpvintage in.bmp -", 0, toned, "", ""},
        {"cat in.bmp | bmpvintage - piped.bmp", 0, "", "", "piped.bmp"},
        {"bmpvintage - redirected.bmp < in.bmp", 0, "", "", "redirected.bmp"},
        // Standard input already read in part: the rest is the image.
        {"{ dd bs=5 count=1 of=/dev/null 2>/dev/null; bmpvintage - -; } < prefixed.bmp", 0, toned,
         "", ""},
        // Refused: nothing on standard output, the file's own line.
        {"echo 'not an image' | bmpvintage - -", 1, "", notValid, ""},
        {"head -c 1000 in.bmp | bmpvintage - -", 1, "", notValid, ""},
        {"bmpvintage - - < /dev/null", 1, "", notValid, ""},
        {"bmpvintage missing.bmp -", 1, "",
         "bmpvintage: missing.bmp: Error opening input file (No such file or directory)\n", ""},
        // The file a failure is about, its name quoted where it holds
        // controls, and the system's reason.
        {"bmpvintage in.bmp nodir/out.bmp", 1, "",
         "bmpvintage: nodir/out.bmp: Error opening output file (No such file or directory)\n", ""},
        {"bmpvintage \"$(printf 'a\\nb\\033[31m')\" -", 1, "",
         "bmpvintage: 'a'$'\\n''b'$'\\033''[31m': Error opening input file (No such file or "
         "directory)\n",
         ""},
        // Standard output appended to, or opened on, the input.
        {"bmpvintage in.bmp - >> in.bmp", 1, "",
         "bmpvintage: in.bmp: Standard output is the input file\n", ""},
        {"bmpvintage - - < in.bmp 1<> in.bmp", 1, "",
         "bmpvintage: -: Standard output is the input file\n", ""},
        // Standard input that is the output file, by its name or a link.
        {"bmpvintage - in.bmp < in.bmp", 1, "",
         "bmpvintage: in.bmp: Standard input is the output file\n", ""},
        {"ln -sf in.bmp self.bmp && bmpvintage - self.bmp < in.bmp", 1, "",
         "bmpvintage: self.bmp: Standard input is the output file\n", ""},
        // A reader gone, standard output closed, a file size limit: each a
        // write that fails, reported.
        {"{ bmpvintage in.bmp -; echo \"status $?\" >&2; } | true", 0, "",
         "bmpvintage: -: Error writing output file (Broken pipe)\nstatus 1\n", ""},
        {"cat in.bmp | TMPDIR=/nonexistent bmpvintage - -", 1, "",
         "bmpvintage: -: No room for a temporary copy of standard input (see TMPDIR) (No such file "
         "or directory)\n",
         ""},
        {"cat in.bmp | bmpvintage - - >&-", 1, "",
         "bmpvintage: -: Error writing output file (Bad file descriptor)\n", ""},
        {"ulimit -f 1; bmpvintage - limited.bmp < in.bmp", 1, "",
         "bmpvintage: limited.bmp: Error writing output file (File too large)\n", ""},
        {"bmpvintage - - < prefixed.bmp", 1, "", notValid, ""},
        // A file named -.
        {"bmpvintage in.bmp ./-", 0, "", "", "-"},
        {"cd dash && bmpvintage ./- ../from-dash.bmp", 0, "", "", "from-dash.bmp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const Result r = Shell(c.command);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.out == c.out) << r.out.size() << " bytes on standard output";
        EXPECT_EQ(r.err, c.err);
        if (!c.file.empty()) {
            EXPECT_EQ(ReadAll(dir / c.file), Toned(in)) << c.file;
        }
    }
    EXPECT_EQ(ReadAll(dir / "dash" / "-"), in);
    EXPECT_EQ(ReadAll(dir / "in.bmp"), in);
    for (const auto& entry : fs::directory_iterator(dir)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".bmpvintage-")) << entry;
    }
    EXPECT_FALSE(fs::exists(dir / "limited.bmp"));
}

// Signals while an output is being written: the first one received ends
// the program by that signal, its temporary file removed and the old output
// as it was; one ignored at the start (nohup) stays ignored. As root, the
// temporary file's open waits for this test's answer, which comes after the
// signals. Otherwise the program is stopped once the file appears;
// replacing a large file (written, then synced) leaves it time. With two
// threads (as root) both run and are signalled at once, or one is signalled
// while the other's open waits until the process would have ended.
TEST_F(Program, SignalRemovesTheTemporaryFile) {
    bmptest::Bmp24 big;
    big.width = big.height = 4000;
    big.pixel = [](int x, int) { return bmptest::Rgb{static_cast<std::uint8_t>(x), 80, 160}; };
    const Bytes in = big.Build();
    WriteAll(dir / "big.bmp", in);
    fs::create_hard_link(dir / "big.bmp", dir / "big2.bmp");
    const fs::path out = dir / "out";
    struct Case {
        std::vector<int> signals;  // the first to a converting thread, the rest to the process
        int ends;                  // 0: ignored at the start, the program finishes
        bool moveFolder = false;  // out/ moved to held/, a file of the temporary name in a new out/
        std::size_t threads = 1;  // 2: a signal to each thread, the process ends by either
    };
    std::vector<Case> cases = {{{SIGTERM, SIGINT}, SIGTERM}, {{SIGHUP}, 0}};
    for (const int signal : {SIGALRM, SIGHUP, SIGINT, SIGPOLL, SIGPROF, SIGQUIT, SIGTERM, SIGUSR1,
                             SIGUSR2, SIGVTALRM, SIGXCPU, SIGPWR, SIGRTMIN + 3, SIGABRT, SIGSEGV}) {
        cases.push_back({{signal}, signal});
    }
    cases.push_back({{SIGTERM}, SIGTERM, true});
    cases.push_back({{SIGINT, SIGTERM}, SIGINT, false, 2});
    cases.push_back({{SIGRTMIN + 4}, SIGRTMIN + 4, false, 2});
    rlimit core{}, noCore{};  // no core from SIGQUIT, SIGXCPU, SIGABRT or SIGSEGV
    ::getrlimit(RLIMIT_CORE, &core);
    noCore.rlim_max = core.rlim_max;
    ::setrlimit(RLIMIT_CORE, &noCore);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.signals) + (c.moveFolder ? " moved" : ""));
        fs::remove_all(dir / "held");
        fs::remove_all(out);
        fs::create_directory(out);
        WriteAll(out / "big.bmp", {'o', 'l', 'd'});
        WriteAll(out / "big2.bmp", {'o', 'l', 'd'});
        const int fan = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_REPORT_TID, O_RDONLY);
        if (fan < 0 && c.threads > 1) continue;
        const int events = fan >= 0 ? fan : ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(fan >= 0 ? ::fanotify_mark(fan, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD,
                                             AT_FDCWD, out.c_str())
                           : ::inotify_add_watch(events, out.c_str(), IN_CREATE),
                  0);
        std::vector<std::string> args = {BMPVINTAGE_PROGRAM, "--jobs", std::to_string(c.threads),
                                         "--output-dir",     P(out),   P(dir / "big.bmp")};
        if (c.threads > 1) args.push_back(P(dir / "big2.bmp"));
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        struct sigaction ignore {
        }, before{};
        ignore.sa_handler = SIG_IGN;
        if (c.ends == 0) ::sigaction(c.signals[0], &ignore, &before);
        pid_t pid;
        ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        if (c.ends == 0) ::sigaction(c.signals[0], &before, nullptr);
        std::string temporary;
        std::vector<fanotify_event_metadata> held;  // opens of temporary files, waiting
        const auto allow = [fan](const fanotify_event_metadata& event) {
            if (fan < 0) return;
            const fanotify_response answer{event.fd, FAN_ALLOW};
            EXPECT_EQ(::write(fan, &answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
            ::close(event.fd);
        };
        while (held.size() < c.threads) {
            pollfd ready{events, POLLIN, 0};  // a program that never writes fails, not hangs
            ASSERT_EQ(::poll(&ready, 1, 60000), 1) << "no temporary file";
            fanotify_event_metadata event{};  // one at a time; inotify's needs room for the name
            alignas(inotify_event) char named[sizeof(inotify_event) + NAME_MAX + 1];
            ASSERT_GT(
                fan >= 0 ? ::read(fan, &event, sizeof event) : ::read(events, named, sizeof named),
                0);
            const std::string name =
                fan < 0 ? reinterpret_cast<const inotify_event*>(named)->name
                        : fs::read_symlink("/proc/self/fd/" + std::to_string(event.fd)).filename();
            if (fan < 0) event.pid = pid;
            if (fan < 0) ::kill(pid, SIGSTOP);
            if (!name.starts_with(".bmpvintage-")) {
                allow(event);
                continue;
            }
            held.push_back(event);
            if (!temporary.empty()) continue;
            temporary = name;
            if (c.moveFolder) {
                fs::rename(out, dir / "held");
                fs::create_directory(out);
                WriteAll(out / name, {'n', 'o', 't', ' ', 'i', 't', 's'});
            }
        }
        int status = 0;
        const bool late = c.threads > c.signals.size();  // the second open answered late
        for (std::size_t i = 0; c.threads > 1 && i < c.threads - late; ++i) allow(held[i]);
        for (std::size_t i = 0; i < c.signals.size(); ++i) {  // events name the thread
            i < c.threads ? ::syscall(SYS_tgkill, pid, held[i].pid, c.signals[i])
                          : ::kill(pid, c.signals[i]);
        }
        if (c.threads == 1) allow(held[0]);
        for (int i = 0; late && i < 200 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
            ::usleep(10000);
        }
        if (late) allow(held[1]);
        ::close(events);  // later opens go on unwatched
        ::kill(pid, SIGCONT);
        if (status == 0) ::waitpid(pid, &status, 0);
        const fs::path made = c.moveFolder ? dir / "held" : out;
        EXPECT_EQ(std::distance(fs::directory_iterator(made), {}), 2);
        if (c.ends == 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            EXPECT_TRUE(ReadAll(out / "big.bmp") == Toned(in));
            continue;
        }
        EXPECT_TRUE(WIFSIGNALED(status) && std::count(c.signals.begin(), c.signals.end(),
                                                      c.threads > 1 ? WTERMSIG(status) : c.ends))
            << status;
        EXPECT_EQ(ReadText(made / "big.bmp"), "old");
        EXPECT_EQ(ReadText(made / "big2.bmp"), "old");
        if (c.moveFolder) {
            EXPECT_EQ(ReadText(out / temporary), "not its");  // another's, kept
        }
    }
    ::setrlimit(RLIMIT_CORE, &core);
}

// Under -r a symbolic link met inside the tree (to a file, to a folder, or
// dangling) is passed over with a line, and the exit status stays 0; a link
// named on the command line is followed.
TEST_F(Program, LinksInsideATreeAreNotFollowed) {
    const fs::path photos = dir / "photos";
    fs::create_directories(photos / "sub");
    fs::create_directories(dir / "elsewhere");
    const Bytes a = Image(photos / "a.bmp", 1), b = Image(photos / "sub" / "b.bmp", 2);
    const Bytes secret = Image(dir / "secret.bmp", 3), x = Image(dir / "elsewhere" / "x.bmp", 4);
    fs::create_symlink(dir / "secret.bmp", photos / "evil.bmp");
    fs::create_directory_symlink(dir / "elsewhere", photos / "albums");
    fs::create_symlink("nowhere.bmp", photos / "sub" / "gone.bmp");
    fs::create_directory_symlink(photos, dir / "tree");
    const auto passedOver = [](const fs::path& root) {
        std::set<std::string> lines;
        for (const char* link : {"albums", "evil.bmp", "sub/gone.bmp"}) {
            lines.insert("bmpvintage: " + (root / link).string() + ": Symbolic link not followed");
        }
        return lines;
    };

    Result r = Run({"-r", "--output-dir", P(dir / "out"), P(dir / "tree")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Lines(r.err), passedOver(dir / "tree"));
    EXPECT_EQ(ReadAll(dir / "out" / "a.bmp"), Toned(a));
    EXPECT_EQ(ReadAll(dir / "out" / "sub" / "b.bmp"), Toned(b));
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(dir / "out"), {}), 3);

    r = Run({"-r", "--in-place", P(photos)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Lines(r.err), passedOver(photos));
    EXPECT_EQ(ReadAll(photos / "sub" / "b.bmp"), Toned(b));
    EXPECT_EQ(ReadAll(dir / "secret.bmp"), secret);
    EXPECT_EQ(ReadAll(dir / "elsewhere" / "x.bmp"), x);

    r = Run({"--in-place", P(photos / "evil.bmp")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadAll(dir / "secret.bmp"), Toned(secret));

    // As root: a folder swapped for a link once the walk saw it as a folder
    // (held meanwhile in its sibling a/) is neither listed nor entered; a
    // bind mount of the tree inside itself (in a mount namespace of its
    // own) is not walked twice.
    const int fan =
        ::geteuid() == 0 ? ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY) : -1;
    if (fan >= 0) {
        fs::create_directories(dir / "atree" / "a");
        fs::create_directories(dir / "atree" / "sub");
        Image(dir / "elsewhere" / "secret-name.bmp", 5);
        ASSERT_EQ(::fanotify_mark(fan, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ONDIR, AT_FDCWD,
                                  (dir / "atree" / "a").c_str()),
                  0);
        std::thread swap([&] {
            fanotify_event_metadata event{};
            pollfd ready{fan, POLLIN, 0};
            if (::poll(&ready, 1, 60000) != 1 || ::read(fan, &event, sizeof event) <= 0) return;
            fs::rename(dir / "atree" / "sub", dir / "sub-was");
            fs::create_directory_symlink(dir / "elsewhere", dir / "atree" / "sub");
            const fanotify_response allow{event.fd, FAN_ALLOW};
            EXPECT_EQ(::write(fan, &allow, sizeof allow), static_cast<ssize_t>(sizeof allow));
            ::close(event.fd);
        });
        r = Run({"-r", "--output-dir", P(dir / "out3"), P(dir / "atree")});
        swap.join();
        ::close(fan);
        EXPECT_EQ(r.err,
                  "bmpvintage: " + P(dir / "atree" / "sub") + ": Symbolic link not followed\n");
    }
    if (RunCommand({"unshare", "-m", "true"}).status == 0) {
        fs::create_directory(photos / "sub" / "loop");
        r = Shell(
            "unshare -m sh -c 'mount --bind photos photos/sub/loop && \"$B\" -r --output-dir o "
            "photos'");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(Lines(r.err), passedOver("photos"));
    }

    // The terminal's summary counts them.
    if (::access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/script";
    const Result tty = RunCommand({"/usr/bin/script", "-q", "-e", "-c",
                                   "'" BMPVINTAGE_PROGRAM "' -r --output-dir '" + P(dir / "out2") +
                                       "' '" + P(dir / "tree") + "'",
                                   "/dev/null"},
                                  {});
    EXPECT_NE(tty.out.find("\r2 files: 2 converted, 0 failed, 3 links not followed\r\n"),
              std::string::npos)
        << tty.out;
}

// Output folders are made one name at a time, through no link the file
// layer would refuse: another user's link in a shared sticky folder leads
// nowhere, and a folder the user may not write in says so.
TEST_F(Program, OutputFoldersAreMadeThroughNoRefusedLink) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to plant links as another user";
    const fs::path tree = dir / "tree", shared = dir / "shared", locked = dir / "locked";
    fs::create_directories(tree / "2020" / "deep");
    const Bytes a = Image(tree / "a.bmp", 1);
    Image(tree / "2020" / "deep" / "c.bmp", 2);
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    fs::create_directory(locked);
    fs::permissions(locked, fs::perms::owner_all);
    for (const char* name : {"vout", "2020"}) {
        fs::create_directory_symlink(locked, shared / name);
        ASSERT_EQ(::lchown((shared / name).c_str(), 65534, 65534), 0);
    }
    Result r = Run({"-r", "--output-dir", P(shared / "vout"), P(tree)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bmpvintage: " + P(shared / "vout") +
                         ": Cannot create output directory (Permission denied)\n");
    r = Run({"-r", "--output-dir", P(shared), P(tree)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bmpvintage: " + P(shared / "2020" / "deep" / "c.bmp") +
                         ": Error opening output file (Permission denied)\n");
    EXPECT_EQ(ReadAll(shared / "a.bmp"), Toned(a));
    EXPECT_TRUE(fs::is_empty(locked));

    // As a user who may not write in the output folder: the folder's own
    // reason, not that of the file it would have held.
    fs::create_directory(dir / "closed");
    fs::permissions(dir, fs::perms::all);
    fs::copy_file(BMPVINTAGE_PROGRAM, dir / "bmpvintage");
    const std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                               "--clear-groups", P(dir / "bmpvintage")};
    // Under an emulator the copy is a script that starts the build tree's
    // program, which nobody may not reach.
    std::vector<std::string> argv = asNobody;
    argv.push_back("--version");
    if (RunCommand(argv).status != 0) GTEST_SKIP() << "nobody cannot start the program";
    argv = asNobody;
    argv.insert(argv.end(), {"-r", "--output-dir", P(dir / "closed"), P(tree)});
    r = RunCommand(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.err), (std::set<std::string>{
                                "bmpvintage: " + P(dir / "closed" / "a.bmp") +
                                    ": Error opening output file (Permission denied)",
                                "bmpvintage: " + P(dir / "closed" / "2020" / "deep" / "c.bmp") +
                                    ": Error opening output file (Permission denied)",
                            }));
}

// A tree 120 folders deep is mirrored whole with one thread as with two.
// Each folder made takes its source's permission bits less the umask, its
// owner keeping the right to fill it (0550 gives 0750).
TEST_F(Program, DeepTreeMirroredWithItsFoldersBits) {
    fs::path deep = dir / "tree";
    for (int i = 0; i < 120; ++i) deep /= "d";
    fs::create_directories(deep);
    const Bytes a = Image(deep / "a.bmp", 1);
    Image(dir / "tree" / "d" / "b.bmp", 2);
    fs::permissions(dir / "tree" / "d", fs::perms(0550));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    for (const char* jobs : {"1", "2"}) {
        const fs::path out = dir / jobs;
        EXPECT_EQ(Run({"-r", "--jobs", jobs, "--output-dir", P(out), P(dir / "tree")}).status, 0);
        EXPECT_EQ(ReadAll(out / deep.lexically_relative(dir / "tree") / "a.bmp"), Toned(a));
        EXPECT_EQ(fs::status(out / "d").permissions(), fs::perms(0750 & ~mask));
        EXPECT_EQ(fs::status(out / "d" / "d").permissions(), fs::perms(0777 & ~mask));
    }
    fs::permissions(dir / "tree" / "d", fs::perms::owner_all);
}

// Only standard error closed: /dev/null is put there before anything is
// opened, so the spool of standard input (kept open while it is read) does
// not take descriptor 2, where a message would be written into it. Once
// `cat` is done, all but a pipe's worth is read and the program waits for
// the end of its input.
TEST_F(Program, OnlyStandardErrorClosed) {
    bmptest::Bmp24 big;
    big.width = 701;
    big.height = 600;  // more than a pipe holds
    const Bytes in = big.Build();
    WriteAll(dir / "in.bmp", in);
    const Result r = Shell(
        "mkfifo feed; (exec \"$B\" - out.bmp < feed 2>&-) & exec 3> feed; cat in.bmp >&3; "
        "readlink /proc/$!/fd/2; exec 3>&-; wait $!; echo \"status $?\"");
    EXPECT_EQ(r.out, "/dev/null\nstatus 0\n");
    EXPECT_EQ(ReadAll(dir / "out.bmp"), Toned(in));
}

TEST_F(Program, UsageErrorsExitTwoAndTouchNothing) {
    Image(dir / "a.bmp", 0);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {P(dir / "a.bmp")},
        {P(dir / "a.bmp"), P(dir / "b.bmp"), P(dir / "c.bmp")},
        {"--jobs", "0", P(dir / "a.bmp"), P(dir / "b.bmp")},
        {"--jobs", "many", "--output-dir", P(dir / "o"), P(dir / "a.bmp")},
        {"--output-dir", P(dir / "o"), "--in-place", P(dir / "a.bmp")},
        {"--output-dir", P(dir / "o")},
        {"--bogus", P(dir / "a.bmp"), P(dir / "b.bmp")},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Result r = Run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with("bmpvintage: ")) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "b.bmp"));
    EXPECT_FALSE(fs::exists(dir / "o"));
}

TEST_F(Program, HelpAndVersion) {
    const Result help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    for (const char* text :
         {"Usage:", "--output-dir", "--in-place", "--jobs", "Examples:", "--recursive",
          "Symbolic links inside it are not followed", "permission bits less the umask",
          "not followed", "INPUT - reads standard input"}) {
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
    }
    const Result version = Run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "bmpvintage 1.0.0.1\n");
}

// On a terminal a progress line is kept up to date. `script` gives the
// program a pseudo-terminal; where it is missing the test is skipped.
TEST_F(Program, ProgressLineOnATerminal) {
    if (::access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/script";
    Image(dir / "a.bmp", 0);
    Image(dir / "b.bmp", 1);
    std::ofstream(dir / "c.bmp") << "nope";
    const auto quote = [](const std::string& s) { return "'" + s + "'"; };
    const std::string command = quote(BMPVINTAGE_PROGRAM) + " --jobs 1 --output-dir " +
                                quote(P(dir / "out")) + " " + quote(P(dir / "a.bmp")) + " " +
                                quote(P(dir / "c.bmp")) + " " + quote(P(dir / "b.bmp"));
    const Result r = RunCommand({"/usr/bin/script", "-q", "-e", "-c", command, "/dev/null"});
    EXPECT_EQ(r.status, 1);
    // The terminal turns "\n" into "\r\n".
    EXPECT_NE(r.out.find("\r0 of 3 files done"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bmpvintage: " + P(dir / "c.bmp") + ": Not a valid BMP file\r\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("3 of 3 files done\r3 files: 2 converted, 1 failed\r\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(fs::exists(dir / "out" / "b.bmp"));

    // Image data is never written to a terminal.
    const Result tty =
        RunCommand({"/usr/bin/script", "-q", "-e", "-c",
                    quote(BMPVINTAGE_PROGRAM) + " " + quote(P(dir / "a.bmp")) + " -", "/dev/null"});
    EXPECT_EQ(tty.status, 2);
    EXPECT_EQ(tty.out,
              "bmpvintage: standard output is a terminal; image data is not written to one "
              "(redirect it to a file or a pipe)\r\n");
}

}  // namespace
