// The bmpvintage program's parts: command line, job plan, clashes, threads
// and the progress text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BmpBuilder.h"
#include "TestFiles.h"
#include "tools/Batch.h"
#include "tools/CommandLine.h"
#include "tools/Progress.h"
#include "tools/Signals.h"
#include "tools/Streams.h"

namespace {

using namespace bmpvintage;
namespace fs = std::filesystem;

CommandLine Parse(std::vector<std::string_view> args) {
    return ParseCommandLine(args);
}

TEST(CommandLine, AcceptedForms) {
    struct Case {
        std::vector<std::string_view> args;
        Mode mode;
        std::vector<std::string> inputs;
        std::string output, dir;
        unsigned jobs;
        bool recursive = false;
    };
    const std::vector<Case> cases = {
        {{"a.bmp", "b.bmp"}, Mode::Pair, {"a.bmp"}, "b.bmp", "", 0},
        {{"--output-dir", "out", "a", "b", "c"}, Mode::OutputDir, {"a", "b", "c"}, "", "out", 0},
        {{"a", "--output-dir=out", "b"}, Mode::OutputDir, {"a", "b"}, "", "out", 0},
        {{"--in-place", "a"}, Mode::InPlace, {"a"}, "", "", 0},
        {{"a", "b", "--in-place", "c"}, Mode::InPlace, {"a", "b", "c"}, "", "", 0},
        {{"--jobs", "3", "--in-place", "a"}, Mode::InPlace, {"a"}, "", "", 3},
        {{"--jobs=12", "x", "y"}, Mode::Pair, {"x"}, "y", "", 12},
        {{"-j", "2", "x", "y"}, Mode::Pair, {"x"}, "y", "", 2},
        {{"-j1024", "x", "y"}, Mode::Pair, {"x"}, "y", "", 1024},
        {{"-j2", "-j5", "x", "y"}, Mode::Pair, {"x"}, "y", "", 5},  // the last one counts
        // After "--" everything is a file, even what looks like an option.
        {{"--", "--in-place", "-j3"}, Mode::Pair, {"--in-place"}, "-j3", "", 0},
        {{"--in-place", "--", "-x.bmp"}, Mode::InPlace, {"-x.bmp"}, "", "", 0},
        // A lone "-" is standard input or output, in the two-file form.
        {{"-", "out.bmp"}, Mode::Pair, {"-"}, "out.bmp", "", 0},
        {{"-", "-"}, Mode::Pair, {"-"}, "-", "", 0},
        {{"./-", "-"}, Mode::Pair, {"./-"}, "-", "", 0},
        {{"-r", "--output-dir", "o", "photos", "a.bmp"},
         Mode::OutputDir,
         {"photos", "a.bmp"},
         "",
         "o",
         0,
         true},
        {{"--in-place", "photos", "--recursive"}, Mode::InPlace, {"photos"}, "", "", 0, true},
        {{"--in-place", "./-"}, Mode::InPlace, {"./-"}, "", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const CommandLine got = Parse(c.args);
        ASSERT_EQ(got.action, Action::Convert) << got.error;
        EXPECT_EQ(got.mode, c.mode);
        EXPECT_EQ(got.inputs, c.inputs);
        EXPECT_EQ(got.output, c.output);
        EXPECT_EQ(got.outputDir, c.dir);
        EXPECT_EQ(got.jobs, c.jobs);
        EXPECT_EQ(got.recursive, c.recursive);
    }
}

TEST(CommandLine, UsageErrors) {
    const std::vector<std::vector<std::string_view>> cases = {
        {},
        {"a.bmp"},
        {"a", "b", "c"},
        {"--in-place"},
        {"--output-dir", "d"},
        {"--output-dir"},
        {"--output-dir="},
        {"--output-dir", "d", "--in-place", "a"},
        {"--jobs", "0", "a", "b"},
        {"--jobs", "-1", "a", "b"},
        {"--jobs", "two", "a", "b"},
        {"--jobs", "1025", "a", "b"},
        {"--jobs=", "a", "b"},
        {"-j", "3x", "a", "b"},
        {"a", "b", "--jobs"},
        {"--jobsx", "a", "b"},
        {"--frobnicate", "a", "b"},
        {"-x", "a", "b"},
        {"--output-dirx=d", "a"},
        {"-r", "photos", "out"},  // folders need a DIR or --in-place
        {"--in-place", "-"},      // no standard streams among many files
        {"--output-dir", "d", "a.bmp", "-"},
        {"--recursive", "--output-dir", "d", "-"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const CommandLine got = Parse(args);
        EXPECT_EQ(got.action, Action::Usage);
        EXPECT_FALSE(got.error.empty());
    }
}

TEST(CommandLine, UnknownOptionShownQuoted) {
    EXPECT_EQ(Parse({"--bogus", "a", "b"}).error, "unknown option '--bogus'");
    // A terminal's title and colour sequences are shown, not obeyed.
    EXPECT_EQ(Parse({"--\x1B]0;PWN\a\x1B[31mred"}).error,
              "unknown option '--'$'\\033'']0;PWN'$'\\a\\033''[31mred'");
}

TEST(CommandLine, HelpAndVersionWinOverEverythingBefore) {
    EXPECT_EQ(Parse({"--help"}).action, Action::Help);
    EXPECT_EQ(Parse({"-h", "--bogus"}).action, Action::Help);
    EXPECT_EQ(Parse({"a", "--version"}).action, Action::Version);
    EXPECT_EQ(Parse({"--bogus", "--help"}).action, Action::Usage);
    EXPECT_NE(HelpText().find("Examples:"), std::string_view::npos);
}

TEST(CommandLine, Jobs) {
    const std::vector<std::pair<std::string_view, unsigned>> cases = {
        {"1", 1},  {"8", 8},  {"0008", 8}, {"1024", 1024}, {"1025", 0},       {"0", 0},    {"", 0},
        {"+2", 0}, {" 2", 0}, {"2 ", 0},   {"99999", 0},   {"4294967298", 0}, {"0x10", 0},
    };
    for (const auto& [text, jobs] : cases) EXPECT_EQ(ParseJobs(text), jobs) << '"' << text << '"';
}

TEST(Progress, FailureMessageForm) {
    EXPECT_EQ(FailureMessage("dir/a b.bmp", "Not a valid BMP file"),
              "bmpvintage: dir/a b.bmp: Not a valid BMP file\n");
    EXPECT_EQ(FailureMessage("a\nb", "Error opening output file", "No such file or directory"),
              "bmpvintage: 'a'$'\\n''b': Error opening output file (No such file or directory)\n");
}

TEST(Progress, NamesQuotedOnlyWhenTheyHoldControlsOrInvalidText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"dir/a b.bmp", "dir/a b.bmp"},
        {"it's \xC3\xA9t\xC3\xA9 \xE2\x82\xAC\xF0\x9F\x93\xB7.bmp",
         "it's \xC3\xA9t\xC3\xA9 \xE2\x82\xAC\xF0\x9F\x93\xB7.bmp"},
        {"a\nb.bmp", "'a'$'\\n''b.bmp'"},
        {"\x1B[31mred\n", "''$'\\033''[31mred'$'\\n'"},
        {"it's\t\x7F", "'it'\\''s'$'\\t\\177'"},
        {"x\xFFy\xC2\x85z", "'x'$'\\377''y'$'\\302\\205''z'"},  // not UTF-8; a C1 control
        {"\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80",
         "''$'\\300\\257\\355\\240\\200\\364\\220\\200\\200'"},
        {"\xE2\x82", "''$'\\342\\202'"},  // cut short
        // Bidirectional controls and line separators, each range at both
        // ends, beside printable neighbours that stay as they are.
        {"a\xE2\x80\xAEgpj.bmp", "'a'$'\\342\\200\\256''gpj.bmp'"},  // U+202E
        {"\xE2\x80\xAA\xE2\x80\xA8\xE2\x80\xA9",
         "''$'\\342\\200\\252\\342\\200\\250\\342\\200\\251'"},
        {"\xE2\x81\xA6x\xE2\x81\xA9", "''$'\\342\\201\\246''x'$'\\342\\201\\251'"},
        {"\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C", "''$'\\342\\200\\216\\342\\200\\217\\330\\234'"},
        {"\xE2\x80\x8D\xE2\x80\x90\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA\xD8\x9B",
         "\xE2\x80\x8D\xE2\x80\x90\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA\xD8\x9B"},
    };
    for (const auto& [name, shown] : cases) EXPECT_EQ(QuoteName(name), shown) << name;
}

TEST(Progress, NothingButFailuresOffATerminal) {
    Progress p;
    p.total = 3;
    EXPECT_EQ(p.Start(), "");
    EXPECT_EQ(p.Finished(""), "");
    EXPECT_EQ(p.Finished("bmpvintage: x: Not a valid BMP file\n"),
              "bmpvintage: x: Not a valid BMP file\n");
    EXPECT_EQ(p.Finished(""), "");
    EXPECT_EQ(p.End(), "");
}

TEST(Progress, OneLineRedrawnOnATerminal) {
    Progress p;
    p.terminal = true;
    p.total = 10;
    EXPECT_EQ(p.Start(), "\r0 of 10 files done");
    EXPECT_EQ(p.Finished(""), "\r1 of 10 files done");
    // A failure blanks the progress line, takes its place and the progress
    // line is drawn again below.
    EXPECT_EQ(p.Finished("bmpvintage: x: Error opening input file\n"),
              "\r" + std::string(18, ' ') + "\rbmpvintage: x: Error opening input file\n" +
                  "2 of 10 files done");
    for (int i = 3; i < 10; ++i) p.Finished("");
    EXPECT_EQ(p.Finished(""), "\r10 of 10 files done");
    // The last count gives way to the summary.
    EXPECT_EQ(p.End(), "\r10 files: 9 converted, 1 failed\n");
    EXPECT_EQ(p.End(), "");  // ended once
    p.shown = 1;
    p.links = 1;
    EXPECT_EQ(p.End(), "\r10 files: 9 converted, 1 failed, 1 link not followed\n");
    EXPECT_EQ(SummaryText(1, 0, 3), "1 file: 1 converted, 0 failed, 3 links not followed");
}

// Temporary directory for the file-identity tests.
class TempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "sorvane-tool-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    void Touch(const fs::path& p) { std::ofstream(p) << "BM"; }
    fs::path dir;
};

Job J(fs::path input, fs::path output) {
    Job job;
    job.input = std::move(input);
    job.output = std::move(output);
    return job;
}

std::vector<std::string_view> Refusals(const std::vector<Job>& jobs) {
    std::vector<std::string_view> r;
    for (const Job& j : jobs) r.push_back(j.refusal);
    return r;
}

TEST_F(TempDir, PlanNamesEachOutput) {
    CommandLine c;
    c.mode = Mode::OutputDir;
    c.outputDir = "out";
    c.inputs = {"a.bmp", "x/y/b.bmp"};
    auto jobs = PlanJobs(c);
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].output, fs::path("out") / "a.bmp");
    EXPECT_EQ(jobs[1].output, fs::path("out") / "b.bmp");
    EXPECT_FALSE(jobs[1].inPlace);
    c.mode = Mode::InPlace;
    jobs = PlanJobs(c);
    EXPECT_EQ(jobs[1].output, fs::path("x/y/b.bmp"));
    EXPECT_TRUE(jobs[1].inPlace);
}

TEST_F(TempDir, OutputThatIsAnInputIsRefusedHoweverSpelled) {
    Touch(dir / "a.bmp");
    fs::create_directory(dir / "sub");
    fs::create_symlink(dir / "a.bmp", dir / "link.bmp");
    fs::create_hard_link(dir / "a.bmp", dir / "hard.bmp");
    const fs::path a = dir / "a.bmp";
    const std::vector<fs::path> sameFile = {
        a, dir / "." / "a.bmp", dir / "sub" / ".." / "a.bmp", dir / "link.bmp", dir / "hard.bmp",
    };
    for (const fs::path& out : sameFile) {
        std::vector<Job> jobs = {J(a, out)};
        RefuseClashes(jobs, false);
        EXPECT_EQ(jobs[0].refusal, kOverwritesInput) << out;
        jobs = {J(a, out)};
        RefuseClashes(jobs, true);
        EXPECT_EQ(jobs[0].refusal, "") << out;
    }
    // Relative spelling from the working directory.
    const fs::path here = fs::current_path();
    fs::current_path(dir);
    std::vector<Job> jobs = {J("a.bmp", a)};
    RefuseClashes(jobs, false);
    fs::current_path(here);
    EXPECT_EQ(jobs[0].refusal, kOverwritesInput);

    // Another file, existing or not, is fine.
    Touch(dir / "existing.bmp");
    jobs = {J(a, dir / "existing.bmp"), J(dir / "sub" / "x.bmp", dir / "new.bmp")};
    RefuseClashes(jobs, false);
    EXPECT_EQ(Refusals(jobs), (std::vector<std::string_view>{"", ""}));
}

TEST_F(TempDir, OutputOverAnotherInputOrAnotherOutputIsRefused) {
    Touch(dir / "a.bmp");
    fs::create_directory(dir / "x");
    Touch(dir / "x" / "a.bmp");
    Touch(dir / "b.bmp");
    // --output-dir DIR x/a.bmp b.bmp a.bmp: x/a.bmp would land on the input
    // a.bmp, and so would a.bmp itself.
    CommandLine c;
    c.mode = Mode::OutputDir;
    c.outputDir = dir.string();
    c.inputs = {(dir / "x" / "a.bmp").string(), (dir / "b.bmp").string(), (dir / "a.bmp").string()};
    std::vector<Job> jobs = PlanJobs(c);
    RefuseClashes(jobs, false);
    EXPECT_EQ(Refusals(jobs), (std::vector<std::string_view>{kOverwritesInput, kOverwritesInput,
                                                             kOverwritesInput}));

    // Into another directory: the second x/a.bmp -> out/a.bmp clashes.
    c.outputDir = (dir / "out").string();
    jobs = PlanJobs(c);
    RefuseClashes(jobs, false);
    EXPECT_EQ(Refusals(jobs), (std::vector<std::string_view>{"", "", kSameOutput}));

    // A dangling link among the outputs is the file it leads to.
    fs::create_directories(dir / "out");
    fs::create_symlink("b.bmp", dir / "out" / "a.bmp");
    jobs = {J(dir / "x" / "a.bmp", dir / "out" / "a.bmp"), J(dir / "b.bmp", dir / "out" / "b.bmp")};
    RefuseClashes(jobs, false);
    EXPECT_EQ(Refusals(jobs), (std::vector<std::string_view>{"", kSameOutput}));

    // A job refused already (a folder) takes no output name from the file
    // after it.
    jobs = {J(dir / "x", dir / "out" / "pics"), J(dir / "b.bmp", dir / "out" / "pics")};
    jobs[0].refusal = kIsAFolder;
    RefuseClashes(jobs, false);
    EXPECT_EQ(Refusals(jobs), (std::vector<std::string_view>{kIsAFolder, ""}));

    // In place, one file named twice is converted once.
    c.mode = Mode::InPlace;
    c.inputs = {(dir / "a.bmp").string(), (dir / "b.bmp").string(),
                (dir / "x" / ".." / "a.bmp").string()};
    jobs = PlanJobs(c);
    RefuseClashes(jobs, true);
    EXPECT_EQ(Refusals(jobs), (std::vector<std::string_view>{"", "", kSameOutput}));
}

TEST_F(TempDir, StandardInputFromAFileThatChangesWhileRead) {
    for (const bool change : {false, true}) {
        const fs::path p = dir / "in.bmp";
        Touch(p);
        const int fd = ::open(p.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        const timespec old[2] = {{1000, 0}, {1000, 0}};  // far from the clock's next tick
        ASSERT_EQ(::futimens(fd, old), 0);
        DescriptorSource source(fd);
        std::uint8_t bytes[2];
        EXPECT_EQ(source.Read(bytes, 2), 2);
        if (change) {
            EXPECT_EQ(::pwrite(fd, "XY", 2, 0), 2);  // same size, new time
        }
        EXPECT_EQ(source.Unchanged(), !change);
        ::close(fd);
    }
}

TEST(Folders, ImageNames) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"a.bmp", true},   {"A.BMP", true},      {"x/y.Dib", true}, {"b.dIB", true},
        {".bmp", true},    {"a.bmp.txt", false}, {"a.bm", false},   {"bmp", false},
        {"a.bmpx", false}, {"a_bmp", false},     {"a.jpg", false},  {"dib", false},
    };
    for (const auto& [name, image] : cases) EXPECT_EQ(IsImageName(name), image) << name;
}

TEST_F(TempDir, FoldersAreWalkedOnlyWithRecursive) {
    // photos/: images in any case, other files, a subtree, links (to a
    // file, to a folder, dangling; none followed, and only one with an
    // image's name or to a folder listed), and the output folder itself
    // inside.
    const fs::path photos = dir / "photos";
    fs::create_directories(photos / "sub" / "deeper");
    fs::create_directories(photos / "out" / "old");
    for (const char* f : {"a.bmp", "B.BMP", "c.Dib", "notes.txt", "x.bmpx", "sub/d.bmp",
                          "sub/deeper/e.dib", "out/old/o.bmp"}) {
        Touch(photos / f);
    }
    fs::create_symlink("a.bmp", photos / "link.bmp");
    fs::create_symlink("nowhere", photos / "gone.bmp");
    fs::create_symlink("a.bmp", photos / "notes-link.txt");
    fs::create_directory_symlink("sub", photos / "subLink");
    Touch(dir / "notes.txt");

    CommandLine c;
    c.inputs = {photos.string() + "/", (dir / "notes.txt").string()};
    c.recursive = true;
    c.mode = Mode::OutputDir;
    c.outputDir = (photos / "out").string();
    const std::vector<std::string> inside = {"B.BMP", "a.bmp", "c.Dib", "sub/d.bmp",
                                             "sub/deeper/e.dib"};
    const std::vector<std::string> links = {
        photos.string() + "/gone.bmp", photos.string() + "/link.bmp", photos.string() + "/subLink"};
    Expansion found = ExpandFolders(PlanJobs(c), c);
    std::vector<Job>& jobs = found.jobs;
    EXPECT_EQ(found.links, links);
    ASSERT_EQ(jobs.size(), inside.size() + 1);
    for (std::size_t i = 0; i < inside.size(); ++i) {
        EXPECT_EQ(jobs[i].name, photos.string() + "/" + inside[i]);
        EXPECT_EQ(jobs[i].input, photos / inside[i]);
        EXPECT_EQ(jobs[i].root / jobs[i].inside, jobs[i].input);
        EXPECT_EQ(jobs[i].inside, fs::path(inside[i]));
        EXPECT_EQ(jobs[i].output, photos / "out" / inside[i]);
        EXPECT_EQ(jobs[i].makeFolder, inside[i].starts_with("sub/")) << inside[i];
        EXPECT_FALSE(jobs[i].inPlace);
        EXPECT_EQ(jobs[i].refusal, "");
    }
    // A file named on the command line is converted whatever its name, and
    // opened as named.
    EXPECT_EQ(jobs.back().input, dir / "notes.txt");
    EXPECT_EQ(jobs.back().output, photos / "out" / "notes.txt");
    EXPECT_TRUE(jobs.back().root.empty());

    // The tree itself as DIR is walked (and its outputs refused later).
    c.outputDir = photos.string();
    EXPECT_EQ(ExpandFolders(PlanJobs(c), c).jobs.size(), inside.size() + 2);

    // In place: each file is its own output, and out/ is walked too.
    c.mode = Mode::InPlace;
    c.inputs = {photos.string()};
    found = ExpandFolders(PlanJobs(c), c);
    ASSERT_EQ(jobs.size(), inside.size() + 1);
    for (const Job& job : jobs) {
        EXPECT_EQ(job.output, job.input);
        EXPECT_TRUE(job.inPlace);
    }
    EXPECT_EQ(jobs[3].input, photos / "out" / "old" / "o.bmp");
    EXPECT_EQ(found.links.size(), links.size());

    // Without --recursive, or in the two-file form: one refusal per folder.
    for (const Mode mode : {Mode::InPlace, Mode::Pair}) {
        c.mode = mode;
        c.output = (dir / "o.bmp").string();
        c.recursive = mode == Mode::Pair;
        c.inputs = {photos.string()};
        jobs = ExpandFolders(PlanJobs(c), c).jobs;
        ASSERT_EQ(jobs.size(), 1u);
        EXPECT_EQ(jobs[0].refusal, kIsAFolder);
        EXPECT_EQ(jobs[0].name, photos.string());
    }
}

// A tree's file or folder swapped for a link between the walk and the
// conversion: the file it leads to outside is neither read nor replaced.
TEST_F(TempDir, TreeFilesAreOpenedBeneathTheirRootThroughNoLink) {
    const fs::path photos = dir / "photos", outside = dir / "outside";
    fs::create_directories(photos / "sub");
    fs::create_directories(outside / "sub");
    const std::vector<std::uint8_t> image = bmptest::Bmp24{}.Build();
    for (const fs::path& p : {photos / "a.bmp", photos / "c.bmp", photos / "sub" / "b.bmp",
                              outside / "a.bmp", outside / "sub" / "b.bmp"}) {
        testfiles::WriteAll(p, image);
    }
    CommandLine c;
    c.mode = Mode::InPlace;
    c.recursive = true;
    c.inputs = {photos.string()};
    const std::vector<Job> jobs = ExpandFolders(PlanJobs(c), c).jobs;
    ASSERT_EQ(jobs.size(), 3u);  // a.bmp, c.bmp, sub/b.bmp
    fs::remove(photos / "a.bmp");
    fs::create_symlink(outside / "a.bmp", photos / "a.bmp");
    fs::rename(photos / "sub", dir / "sub");
    fs::create_directory_symlink(outside / "sub", photos / "sub");
    for (const std::size_t i : {0u, 2u}) {
        const sorvane::FileConversion r = RunJob(jobs[i], nullptr);
        EXPECT_EQ(std::string(r.line), "Error opening input file") << i;
        EXPECT_EQ(r.systemError, ELOOP) << i;
    }
    EXPECT_TRUE(testfiles::ReadAll(outside / "a.bmp") == image);
    EXPECT_TRUE(testfiles::ReadAll(outside / "sub" / "b.bmp") == image);

    // An in-place job writes its own input and nothing else.
    Job elsewhere = jobs[1];
    elsewhere.output = photos / "d.bmp";
    EXPECT_EQ(std::string(RunJob(elsewhere, nullptr).line), "Error opening output file");
    EXPECT_FALSE(fs::exists(photos / "d.bmp"));
    EXPECT_EQ(std::string(RunJob(jobs[1], nullptr).line), "");
    EXPECT_TRUE(testfiles::ReadAll(photos / "c.bmp") != image);
}

// A fault of the program's own (a read of a page it may not read) ends it
// by that signal as without a handler, and runs no clean-up: the table may
// be what broke. Sent by another process, it removes the files (Program.
// SignalRemovesTheTemporaryFile).
TEST_F(TempDir, OwnFaultEndsTheProcessAsWithoutAHandler) {
    const sorvane::NativePath file = (dir / "in-flight.tmp").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const rlimit noCore{};
        ::setrlimit(RLIMIT_CORE, &noCore);
        RemoveTemporaryFilesOnSignals();
        FilesInFlight().BeforeCreate();
        Touch(file);
        FilesInFlight().AfterCreate(-1, &file);
        ::_exit(*static_cast<volatile char*>(
            ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
    EXPECT_TRUE(fs::exists(file));
}

// A signal that comes while a file is renamed into place waits for the
// rename: the file is then where it went or, where the rename failed,
// removed; never left under its temporary name.
TEST_F(TempDir, SignalDuringARenameWaitsForIt) {
    for (const bool renamed : {true, false}) {
        SCOPED_TRACE(renamed ? "renamed" : "the rename failed");
        const sorvane::NativePath file = (dir / "in-flight.tmp").string();
        const fs::path target = dir / (renamed ? "out.bmp" : "folder");
        if (!renamed) fs::create_directories(target / "full");  // not replaced by a file
        const pid_t pid = ::fork();
        if (pid == 0) {
            RemoveTemporaryFilesOnSignals();
            FilesInFlight().BeforeCreate();
            Touch(file);
            FilesInFlight().AfterCreate(-1, &file);
            FilesInFlight().BeforeSettle(-1, file);
            ::raise(SIGTERM);
            const bool moved = ::rename(file.c_str(), target.c_str()) == 0;
            FilesInFlight().Settled(-1, file, moved);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        EXPECT_FALSE(fs::exists(file));
        EXPECT_EQ(fs::is_regular_file(target), renamed);
    }
}

TEST(RunJobs, EveryJobFinishesOnceAndRefusedOnesDoNotRun) {
    std::vector<Job> jobs(200);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        jobs[i].input = std::to_string(i);
        if (i % 7 == 3) jobs[i].refusal = kSameOutput;
    }
    for (unsigned threads : {1u, 2u, 5u}) {
        std::mutex m;
        std::vector<int> ran(jobs.size()), finished(jobs.size());
        std::vector<std::string> lines(jobs.size());
        std::atomic<int> inside{0};
        std::atomic<bool> overlapped{false};
        RunJobs(
            jobs, threads,
            [&](const Job& j) -> sorvane::FileConversion {
                const std::lock_guard lock(m);
                ++ran[std::stoul(j.input.string())];
                return {std::stoul(j.input.string()) % 5 == 0 ? "Not a valid BMP file" : ""};
            },
            // No lock here: RunJobs makes these calls one at a time.
            [&](std::size_t i, const sorvane::FileConversion& outcome) {
                if (inside.fetch_add(1) != 0) overlapped = true;
                ++finished[i];
                lines[i] = outcome.line;
                std::this_thread::yield();
                inside.fetch_sub(1);
            });
        EXPECT_FALSE(overlapped.load());
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            EXPECT_EQ(finished[i], 1) << i;
            EXPECT_EQ(ran[i], i % 7 == 3 ? 0 : 1) << i;
            const std::string want = i % 7 == 3   ? std::string(kSameOutput)
                                     : i % 5 == 0 ? "Not a valid BMP file"
                                                  : "";
            EXPECT_EQ(lines[i], want) << i;
        }
    }
}

TEST(RunJobs, RunsTheJobsAtOnce) {
    // Each job waits (bounded) until all three run together: only possible
    // when three threads really work at the same time.
    std::vector<Job> jobs(3);
    std::atomic<int> running{0};
    std::atomic<int> sawAll{0};
    RunJobs(
        jobs, 3,
        [&](const Job&) -> sorvane::FileConversion {
            ++running;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (running.load() < 3 && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (running.load() == 3) ++sawAll;
            return {};
        },
        [](std::size_t, const sorvane::FileConversion&) {});
    EXPECT_EQ(sawAll.load(), 3);
}

TEST(RunJobs, ThreadCount) {
    EXPECT_EQ(ThreadCount(3, 10), 3u);
    EXPECT_EQ(ThreadCount(8, 2), 2u);  // no idle threads
    EXPECT_EQ(ThreadCount(4, 0), 1u);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    EXPECT_EQ(ThreadCount(0, 1000), cores);
}

}  // namespace
