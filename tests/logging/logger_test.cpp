#include <kav/logging/logger.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>


// The name the system gives this program's file.
#ifdef _WIN32
#define PROGRAM_NAME "logger_test.exe"
#else
#define PROGRAM_NAME "logger_test"
#endif
using namespace Vemi;

namespace {

// Keeps each message and formatted line, under its own lock as a real target writes; notes writes and
// unregistrations in a journal.
class CaptureTarget final : public LogTarget {
public:
    explicit CaptureTarget(const char* name = "Capture", LogLevel level = -10, LogCategories include = 0,
                           LogCategories exclude = 0)
        : LogTarget(level, include, exclude, "#M"), name_(name) {}
    // Out of the sequence before the members go, and without journaling: another thread may be
    // writing through this target until then.
    ~CaptureTarget() override { LogTarget::Unregister(); }
    void Unregister() noexcept override {
        if (journal != nullptr && IsRegistered()) journal->push_back(std::string("-") + name_);
        LogTarget::Unregister();
    }
    const char* GetName() const noexcept override { return name_; }
    bool Write(const LogRecord& record) override {
        char line[kLogBufferSize];
        FormatLine(record, line, sizeof line);
        std::lock_guard guard(Lock());
        lines.emplace_back(line);
        messages.emplace_back(record.message);
        if (journal != nullptr) journal->push_back(name_);
        return true;
    }

    std::vector<std::string> lines, messages;
    std::vector<std::string>* journal = nullptr;

private:
    const char* name_;
};

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { api->AddRef(api); }
    void TearDown() override { api->Release(api); }
    // Keeps the many records of a test off the console.
    void QuietConsole() {
        LogTargetInterface* err = api->StdErrTarget(api);
        err->Unregister(err);
    }

    LoggingInterface* api = GetLoggingInterface();
};

LogRecord SampleRecord(const char* message, LogLevel level = kLogError) {
    LogRecord r{};
    r.time = LogTime{2024, 3, 5, 6, 7, 8, 9};
    r.level = level;
    r.categoriesLow = 3;
    r.message = message;
    return r;
}

std::string Format(const char* format, const LogRecord& record, size_t size = kLogBufferSize) {
    char buffer[kLogBufferSize] = {};
    size_t length = FormatRecord(buffer, size, format, record);
    EXPECT_EQ(length, std::string(buffer).size());
    return buffer;
}

std::string ThreadText() {
    char text[32];
    std::snprintf(text, sizeof text, "%p", reinterpret_cast<void*>(static_cast<uintptr_t>(Platform::CurrentThreadId())));
    return text;
}

void CallLogV(LoggingInterface* api, LogLevel level, uint32_t low, uint32_t high, const char* format, ...) {
    va_list args;
    va_start(args, format);
    api->LogV(api, level, low, high, format, args);
    va_end(args);
}

}  // namespace

TEST_F(LoggerTest, BuiltInTargetsStartAsDescribed) {
    // "version name level include/exclude [registered] format" of each.
    const std::pair<LogTargetInterface*, const char*> rows[] = {
        {api->StdErrTarget(api), "1 StdErrLogTarget 1 1/2 registered #E(#T): #L| #M"},
        {api->StdOutTarget(api), "1 StdOutLogTarget 1 2/1 #M"},
        {api->DebuggerConsoleTarget(api), "1 DebuggerConsoleLogTarget 1 1/0 registered #E(#T): #L| #M"},
    };
    for (const auto& [t, expected] : rows) {
        ASSERT_NE(t, nullptr);
        const std::string name = t->GetName(t);
        EXPECT_EQ(std::to_string(t->Version(t)) + " " + name + " " + std::to_string(t->GetLevel(t)) + " " +
                      std::to_string(t->GetInclude(t)) + "/" + std::to_string(t->GetExclude(t)) +
                      (t->IsRegistered(t) ? " registered " : " ") + t->GetFormat(t, nullptr),
                  expected);
        EXPECT_EQ(api->FindTarget(api, name.c_str()), t->IsRegistered(t) ? t : nullptr) << name;
    }
    EXPECT_EQ(api->GetMinimumLevel(api), kLogWarn);
    EXPECT_EQ(api->GetDroppedCategories(api), kCategoryXTR);
}

TEST_F(LoggerTest, LoggerFiltersAndCountsBeforeDispatch) {
    QuietConsole();
    CaptureTarget sink;
    sink.Register();
    struct Case { LogLevel minimum; LogCategories dropped; bool suppressed; LogLevel level;
                  LogCategories categories; bool delivered; };
    const Case cases[] = {
        {1, 4, false, 0, 0, false}, {1, 4, false, 1, 0, true},  {1, 4, false, 2, 1ull << 40, true},
        {1, 4, false, 3, 4, false},  // XTR dropped
        {1, 4, false, 3, 5, false},  // one shared bit is enough
        {1, 0, false, 1, 4, true},  {1, 4, false, -1, 0, false}, {-5, 4, false, -1, 0, true},  // signed
        {1, 4, true, 3, 1, false},   // suppressed
    };
    for (const Case& c : cases) {
        api->SetMinimumLevel(api, c.minimum);
        api->SetDroppedCategories(api, c.dropped);
        c.suppressed ? api->Suppress(api) : api->Unsuppress(api);
        size_t before = sink.lines.size();
        Log(c.level, c.categories, "level %d", c.level);
        EXPECT_EQ(sink.lines.size() - before, c.delivered ? 1u : 0u) << c.level << "/" << c.categories;
    }
    api->Unsuppress(api);
    api->SetMinimumLevel(api, kLogWarn);
    api->SetDroppedCategories(api, kCategoryXTR);

    // Counted when they pass the Logger, whether or not a target writes them.
    sink.SetLevel(kLogAlways);
    uint64_t warnings = LoggedWarningCount(), errors = LoggedErrorCount();
    Log(kLogWarn, kCategoryGEN, "w");
    Log(kLogError, kCategoryGEN, "e");
    Log(kLogError, kCategoryXTR, "dropped");
    Log(kLogAlways, kCategoryGEN, "a");
    EXPECT_EQ(LoggedWarningCount(), warnings + 1);
    EXPECT_EQ(LoggedErrorCount(), errors + 1);

    sink.SetLevel(kLogOkay);
    Log(kLogError, 0, "%s", std::string(5000, 'x').c_str());
    EXPECT_EQ(sink.messages.back(), std::string(4095, 'x'));
    EXPECT_EQ(sink.lines.back(), std::string(4094, 'x') + "\n");  // the line keeps room for its newline
}

TEST_F(LoggerTest, TargetLevelAndMasks) {
    QuietConsole();
    api->SetMinimumLevel(api, kLogOkay);
    api->SetDroppedCategories(api, 0);
    struct Case { LogLevel targetLevel; LogCategories include, exclude; LogLevel level; LogCategories categories;
                  bool written; };
    const Case cases[] = {
        {1, 1, 2, 1, 0, true},   // no categories passes every mask
        {1, 1, 2, 1, 1, true},  {1, 1, 2, 1, 2, false}, {1, 1, 2, 1, 3, false},
        {1, 1, 2, 1, 8, false},  // include set, no common bit
        {1, 0, 0, 1, 8, true},  {2, 0, 0, 1, 0, false}, {-1, 0, 0, 0, 1, true},
    };
    for (const Case& c : cases) {
        CaptureTarget sink("Masked", c.targetLevel, c.include, c.exclude);
        sink.Register();
        Log(c.level, c.categories, "x");
        EXPECT_EQ(sink.lines.size(), c.written ? 1u : 0u) << c.targetLevel << "/" << c.include << "/" << c.exclude
                                                          << " " << c.level << "/" << c.categories;
    }
    LogTargetInterface* t = api->DebuggerConsoleTarget(api);
    t->SetMasks(t, 3, 1);
    EXPECT_TRUE(t->GetInclude(t) == 2 && t->GetExclude(t) == 1);  // an excluded bit leaves the include mask
}

TEST_F(LoggerTest, ConsoleTargetsWriteTheirLines) {
    testing::internal::CaptureStderr();
    Log(kLogWarn, 0, "plain %d", 5);
    Log(kLogWarn, kCategoryGEN, "general");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), PROGRAM_NAME "(" + ThreadText() + "):   WARN| plain 5\n");

    LogTargetInterface* out = api->StdOutTarget(api);
    out->Register(out);
    testing::internal::CaptureStdout();
    Log(kLogError, kCategoryGEN, "general");
    QuietConsole();
    Log(kLogError, kCategoryDBG, "debug");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "general\n");
}

TEST_F(LoggerTest, RegistrationAddRemoveAndWriteSlot) {
    QuietConsole();
    CaptureTarget sink;
    LogTargetInterface* t = sink.Interface();
    // R register, U unregister, A add, D remove, N add nothing.
    const struct { const char* actions; bool registered; size_t writesPerRecord; } steps[] = {
        {"R", true, 1}, {"R", true, 1} /* once only */, {"A", true, 2} /* duplicates allowed */,
        {"D", true, 0} /* the mark stays */, {"AA", true, 2}, {"U", false, 0} /* every occurrence */, {"N", false, 0},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        for (const char* a = steps[i].actions; *a != 0; ++a) {
            *a == 'R' ? t->Register(t) : *a == 'U' ? t->Unregister(t) : *a == 'A' ? api->AddTarget(api, t)
                : *a == 'D' ? api->RemoveTarget(api, t) : api->AddTarget(api, nullptr);
        }
        size_t before = sink.lines.size();
        Log(kLogError, 0, "r");
        EXPECT_EQ(t->IsRegistered(t), steps[i].registered) << "step " << i;
        EXPECT_EQ(sink.lines.size() - before, steps[i].writesPerRecord) << "step " << i;
    }
    EXPECT_EQ(api->FindTarget(api, "Capture"), nullptr);
    EXPECT_EQ(api->FindTarget(api, nullptr), nullptr);

    // A target that overrides no write operation writes nothing and answers false.
    struct Silent final : LogTarget {
        Silent() : LogTarget(kLogOkay, 0, 0, "#M") {}
    } silent;
    LogRecord record = SampleRecord("m");
    EXPECT_FALSE(silent.Interface()->Write(silent.Interface(), &record));
    EXPECT_TRUE(t->Write(t, &record));
    EXPECT_FALSE(t->Write(t, nullptr));
}

TEST_F(LoggerTest, ConfigureMovesTheTargetToTheEnd) {
    QuietConsole();
    CaptureTarget first("First"), second("Second");
    std::vector<std::string> journal;
    first.journal = second.journal = &journal;
    first.Register();
    second.Register();
    Configure(first, LogTargetSettings{kLogWarn, 7, 4, "[#L] #M"});
    EXPECT_TRUE(first.GetInclude() == 3 && first.GetExclude() == 4 && first.GetLevel() == kLogWarn);
    Log(kLogWarn, kCategoryDBG, "moved");
    EXPECT_EQ(journal, (std::vector<std::string>{"-First", "Second", "First"}));
    EXPECT_EQ(first.lines.back(), "[  WARN] moved\n");
}

TEST_F(LoggerTest, ReleaseUnregistersFromLastToFirstAndAFreshLoggerFollows) {
    CaptureTarget a("A"), b("B");
    std::vector<std::string> journal;
    a.journal = b.journal = &journal;
    a.Register();
    b.Register();
    api->SetMinimumLevel(api, kLogAlways);
    EXPECT_EQ(api->Release(api), 0u);
    EXPECT_EQ(journal, (std::vector<std::string>{"-B", "-A"}));
    EXPECT_FALSE(a.IsRegistered() || b.IsRegistered());
    EXPECT_EQ(api->Release(api), 0u);  // never below zero
    EXPECT_EQ(api->AddRef(api), 1u);
    EXPECT_EQ(api->GetMinimumLevel(api), kLogWarn);
    EXPECT_NE(api->FindTarget(api, "StdErrLogTarget"), nullptr);
}

TEST(FormatRecordTest, DirectivesNewlineAndTruncation) {
    struct Case { const char* format; const char* message; size_t size; const char* expected; };
    const Case cases[] = {
        {"#D", "m", 64, "2024-03-05T06:07:08.009\n"}, {"#L|#M", "msg", 64, " ERROR|msg\n"},
        {"#G #E", "m", 64, "DBG;GEN " PROGRAM_NAME "\n"},
        {"## #Q#", "m", 64, "# Q\n"},  // a trailing "#" ends the format
        {"#M", "line\n", 64, "line\n"},  // no second newline
        {"#M\n", "m", 64, "m\n"}, {"", "m", 64, "\n"}, {"#M", nullptr, 64, "\n"}, {"#M", "abcdefghij", 8, "abcdef\n"},
        {"ab#M", "cdefghij", 8, "abcdef\n"}, {"#L", "m", 5, " ER\n"}, {"#M", "abcd\n", 5, "abc\n"},
        {"#M", "m", 2, "\n"}, {"#M", "m", 1, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Format(c.format, SampleRecord(c.message), c.size), c.expected) << c.format << " / " << c.size;
    }
    const std::pair<LogLevel, const char*> words[] = {{0, "  OKAY\n"}, {1, "  WARN\n"}, {3, "ALWAYS\n"}, {7, "     ?\n"}};
    for (const auto& [level, word] : words) EXPECT_EQ(Format("#L", SampleRecord("m", level)), word);
    EXPECT_EQ(Format("#T", SampleRecord("m")), ThreadText() + "\n");
    std::string elapsed = Format("#H", SampleRecord("m"));
    EXPECT_TRUE(elapsed.size() == 11 && elapsed[6] == '.' && elapsed.find_first_not_of("0123456789") == 6 &&
                elapsed.find_first_not_of("0123456789", 7) == 10)
        << elapsed;
}

TEST(CategoryTest, NamesOfMasks) {
    struct Case { LogCategories mask; size_t size; const char* expected; };
    const Case cases[] = {
        {0, 64, ""},      {3, 64, "DBG;GEN"}, {0xFF, 64, "DBG;GEN;XTR;PRF;MEM;DSK;NET;TST"},
        {256, 64, "LOC"}, {1ull << 63, 64, "???"}, {5, 6, "DBG;X"}, {3, 4, "DBG"}, {1, 1, ""},
    };
    for (const Case& c : cases) {
        char buffer[64];
        CategoryNames(buffer, c.size, c.mask);
        EXPECT_STREQ(buffer, c.expected) << c.mask;
    }
}

TEST(CategoryTest, FromNameMatchesThreeCharactersAndStopsAtSixtyFour) {
    // "LOC" is registered at load; "ABCDEF" registers "ABC" as the next bit.
    const std::pair<const char*, LogCategories> names[] = {
        {"DBG", 1}, {"GENERAL", 2}, {"LOC", 256}, {"", 0}, {nullptr, 0}, {"ABCDEF", 512}, {"ABC", 512}};
    for (const auto& [name, bit] : names) EXPECT_EQ(CategoryFromName(name), bit) << (name != nullptr ? name : "null");

    LogCategories last = 0;
    for (int i = 0; i < 64; ++i) {
        char name[4];
        std::snprintf(name, sizeof name, "Z%02d", i);
        LogCategories bit = CategoryFromName(name);
        if (bit == 0) break;
        last = bit;
    }
    EXPECT_EQ(last, 1ull << 63);
    EXPECT_EQ(CategoryFromName("NEW"), 0u);  // no 65th name, and nothing registered
    EXPECT_EQ(CategoryFromName("NEW"), 0u);
    EXPECT_EQ(CategoryFromName("ABC"), 512u);
}

TEST_F(LoggerTest, LoggingInterfaceSlots) {
    QuietConsole();
    EXPECT_EQ(api->Version(api), 1);
    EXPECT_EQ(api->AddRef(api), 2u);
    EXPECT_EQ(api->Release(api), 1u);
    api->SetMinimumLevel(api, kLogOkay);
    api->SetDroppedCategories(api, 1ull << 35);
    EXPECT_EQ(api->GetDroppedCategories(api), 1ull << 35);
    api->SetFlag(api);
    api->ClearFlag(api);

    CaptureTarget sink("Slots", kLogOkay, 1ull << 32);
    sink.Register();
    CallLogV(api, kLogOkay, 0, 1, "high %s", "word");  // categories 1 << 32
    CallLogV(api, kLogOkay, 1, 0, "low");              // not included
    CallLogV(api, kLogOkay, 0, 9, "dropped");          // shares 1 << 35
    api->Suppress(api);
    CallLogV(api, kLogAlways, 0, 1, "suppressed");
    api->Unsuppress(api);
    EXPECT_EQ(sink.lines, std::vector<std::string>{"high word\n"});

    EXPECT_EQ(api->CategoryFromName(api, "NET"), 64u);
    char buffer[64];
    // The length a slot answers, then what it wrote.
    const auto wrote = [&](size_t length) { return std::to_string(length) + " " + buffer; };
    EXPECT_EQ(wrote(api->CategoryNames(api, buffer, sizeof buffer, 0x41)), "7 DBG;NET");
    LogRecord record = SampleRecord("m");
    EXPECT_EQ(wrote(api->FormatRecord(api, buffer, sizeof buffer, "#L", &record)), "7  ERROR\n");
    EXPECT_STREQ(api->LevelWord(api, 3), "ALWAYS");
    EXPECT_STREQ(api->ExecutableName(api), PROGRAM_NAME);
    LogTime now{};
    api->LocalTime(api, &now);
    EXPECT_TRUE(now.year >= 2020 && now.month >= 1 && now.month <= 12);

    const LogTime t{987, 12, 31, 23, 59, 58, 7};
    EXPECT_EQ(wrote(api->FormatTimestamp(api, buffer, sizeof buffer, &t)), "23 0987-12-31T23:59:58.007");
    EXPECT_EQ(wrote(api->FormatFileTimestamp(api, buffer, sizeof buffer, &t)), "19 0987-12-31T23-59-58");
    EXPECT_EQ(wrote(api->FormatTimestamp(api, buffer, 5, &t)), "4 0987");
}

namespace {

// `loggers` threads call `log` until `churners` threads have each run `rounds` rounds of `churn`.
template <class LogFn, class Churn>
void WhileLogging(int loggers, LogFn log, int churners, int rounds, Churn churn) {
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < loggers; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; !done.load(std::memory_order_relaxed); ++n) log(i, n);
        });
    }
    std::vector<std::thread> churning;
    for (int i = 0; i < churners; ++i) {
        churning.emplace_back([&, i] {
            for (int round = 0; round < rounds; ++round) churn(i, round);
        });
    }
    for (std::thread& t : churning) t.join();
    done = true;
    for (std::thread& t : threads) t.join();
}

}  // namespace

// Targets are registered, configured, reconfigured through their tables and
// destroyed while other threads log; the built-in console targets stay quiet
// because the records are GEN only.
TEST_F(LoggerTest, ConcurrentTargetChangesWhileLogging) {
    CaptureTarget steady("LogTarget", kLogOkay, kCategoryGEN);
    steady.Register();
    std::atomic<size_t> logged{0};
    WhileLogging(
        3,
        [&](int i, int n) {
            if (n % 2 == 0) Log(kLogError, kCategoryGEN, "thread %d record %d", i, n);
            else CallLogV(api, kLogWarn, static_cast<uint32_t>(kCategoryGEN), 0, "record %d via the table", n);
            logged.fetch_add(1, std::memory_order_relaxed);
        },
        2, 300,
        [&](int i, int round) {
            auto target = std::make_unique<CaptureTarget>("LogTarget", kLogOkay, kCategoryGEN);
            LogTargetInterface* t = target->Interface();
            t->Register(t);
            Configure(*target, {kLogOkay, kCategoryGEN | kCategoryDBG, kCategoryXTR, round % 2 == 0 ? "#M" : "#G #M"});
            t->SetLevel(t, round % 3 == 0 ? kLogError : kLogOkay);
            t->SetMasks(t, kCategoryGEN, 0);
            (void)api->FindTarget(api, "LogTarget");
            if (i == 0) {
                // The Logger's own settings and an extra reference change meanwhile.
                api->AddRef(api);
                api->SetMinimumLevel(api, kLogOkay);
                api->SetDroppedCategories(api, kCategoryXTR);
                api->Release(api);
            }
            if (round % 2 == 0) t->Unregister(t);
            // Destroyed registered or not: its destructor takes it out of the sequence.
        });
    EXPECT_TRUE(!steady.lines.empty() && steady.lines.size() <= logged.load()) << steady.lines.size();
    for (const std::string& line : steady.lines) ASSERT_TRUE(!line.empty() && line.back() == '\n') << line;
    // Nothing of the destroyed targets is left in the sequence.
    EXPECT_EQ(api->FindTarget(api, "LogTarget"), steady.Interface());
    steady.Unregister();
    EXPECT_EQ(api->FindTarget(api, "LogTarget"), nullptr);
}

// The last reference goes and comes back while other threads log: each record
// reaches a whole Logger or none, and a fresh one is made on demand.
TEST(LoggerLifetimeTest, ConcurrentReleaseToZeroWhileLogging) {
    LoggingInterface* api = GetLoggingInterface();
    WhileLogging(
        2, [](int i, int n) { Log(kLogError, kCategoryGEN, "thread %d record %d", i, n); }, 1, 300,
        [&](int, int) {
            api->AddRef(api);
            api->SetMinimumLevel(api, kLogWarn);
            api->Release(api);
        });
    // Whatever the logging threads made last is released by the next cycle.
    api->AddRef(api);
    EXPECT_NE(api->StdErrTarget(api), nullptr);
    api->Release(api);
}
