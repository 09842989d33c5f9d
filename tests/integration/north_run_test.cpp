// north-run as a user runs it: a separate process, reading files or a pipe,
// sending through the plugin to the test server, and judged by its exit
// status, its two output streams, the tables and the state file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "pg_server.h"
#include "tcp_proxy.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

PgServer& server() { return PgServer::instance(); }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t countContaining(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (const std::string& line : splitLines(text))
        if (line.find(needle) != std::string::npos) ++n;
    return n;
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
    std::string describe() const { return "exit " + std::to_string(status) + "\nstdout:\n" + out + "stderr:\n" + err; }
};

// north-run as a child process: standard input a pipe we write to, its two
// outputs files in the test's directory.
class NorthRun {
public:
    NorthRun(const std::vector<std::string>& args, const std::string& dir) {
        static int serial = 0;
        std::string tag = std::to_string(++serial);
        m_outPath = dir + "/stdout." + tag;
        m_errPath = dir + "/stderr." + tag;
        // A north-run that exits before reading all its input must not take
        // the test down with it.
        ::signal(SIGPIPE, SIG_IGN);

        std::vector<std::string> argv = {NORTH_RUN_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (std::string& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        int input[2];
        if (::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        int out = ::open(m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err = ::open(m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(input[0], STDIN_FILENO);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            ::execv(cargv[0], cargv.data());
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(out);
        ::close(err);
        m_stdin = input[1];
    }
    ~NorthRun() {
        closeInput();
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    void write(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(m_stdin, text.data() + done, text.size() - done);
            if (n <= 0) return;  // it stopped reading
            done += static_cast<size_t>(n);
        }
    }
    void closeInput() {
        if (m_stdin >= 0) ::close(m_stdin);
        m_stdin = -1;
    }
    void signal(int sig) { ::kill(m_pid, sig); }

    Result wait(std::chrono::seconds limit = std::chrono::seconds(120)) {
        closeInput();
        Result result;
        auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                result.err = "(killed: still running after the time limit)\n";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_pid = -1;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = readFile(m_outPath);
        result.err += readFile(m_errPath);
        return result;
    }

private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    std::string m_outPath, m_errPath;
};

class NorthRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/north-run-test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    Result run(const std::vector<std::string>& args, const std::string& input = "") {
        NorthRun process(args, dir);
        process.write(input);
        return process.wait();
    }
    // Arguments that point the plugin at the test server.
    std::vector<std::string> at(int port, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"--set", "host=127.0.0.1", "--set", "port=" + std::to_string(port)};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    std::vector<std::string> atServer(std::vector<std::string> more = {}) { return at(server().port(), more); }
    std::string file(const std::string& name, const std::string& text) {
        std::string path = dir + "/" + name;
        writeFile(path, text);
        return path;
    }
    std::string rowCount(const std::string& table) { return server().scalar("SELECT count(*) FROM " + table); }

    std::string dir;
};

std::string reading(const std::string& asset, const std::string& datapoints,
                    const std::string& userTs = "2026-12-06 10:00:00") {
    return R"({"asset": ")" + asset + R"(", "user_ts": ")" + userTs + R"(", "datapoints": )" + datapoints + "}\n";
}

// "read 3 sent 3 not-sent 0 rejected 0 blocks 1 tables 2" from the one line
// of standard output, without the rate, which varies.
std::string summary(const Result& result) {
    unsigned long long read, sent, notSent, rejected, blocks, tables, rate;
    int end = 0;
    int fields = std::sscanf(result.out.c_str(),
                             "read %llu sent %llu not-sent %llu rejected %llu blocks %llu tables %llu rate %llu/s\n%n",
                             &read, &sent, &notSent, &rejected, &blocks, &tables, &rate, &end);
    if (fields != 7 || static_cast<size_t>(end) != result.out.size()) return "no summary line in: " + result.out;
    return "read " + std::to_string(read) + " sent " + std::to_string(sent) + " not-sent " + std::to_string(notSent) +
           " rejected " + std::to_string(rejected) + " blocks " + std::to_string(blocks) + " tables " +
           std::to_string(tables);
}

}  // namespace

// ------------------------------------------------------------------ delivery

TEST_F(NorthRunTest, MixedFileArrivesWithEveryValueTypeInItsColumn) {
    const std::string hint = R"("RedshiftHint": "{\"tablename\": \"nr_mixed_line\"}")";
    std::string input =
        reading("nr mixed pump 1",
                R"({"speed": 1200, "temp": 21.5, "state": "on", "running": true, "gone": null, "samples": [1, 2], )"
                R"("motor": {"rpm": 3, "coil": {"temp": 40.5}}, )" + hint + "}",
                "2026-12-06 10:00:00.123456") +
        reading("nr mixed pump 2", R"({"speed": 900, "note": "say \"hi\" at C:\\temp", )" + hint + "}",
                "2026-12-06T10:00:01Z") +
        reading("nr-mixed boiler", R"({"pressure": 1.5})", "2026-12-06 10:00:02+00:00");
    Result result = run(atServer({"--readings", file("mixed.jsonl", input)}));

    ASSERT_EQ(result.status, 0) << result.describe();
    EXPECT_EQ(summary(result), "read 3 sent 3 not-sent 0 rejected 0 blocks 1 tables 2");

    auto rows = server().query(
        "SELECT asset_code, to_char(user_ts AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US'), speed, temp, state, "
        "running, motor_rpm, motor_coil_temp, note FROM nr_mixed_line ORDER BY user_ts");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (PgServer::Row{"nr mixed pump 1", "2026-12-06 10:00:00.123456", "1200", "21.5", "on", "1",
                                      "3", "40.5", ""}));
    EXPECT_EQ(rows[1][0], "nr mixed pump 2");
    EXPECT_EQ(rows[1][1], "2026-12-06 10:00:01.000000");
    EXPECT_EQ(rows[1][8], "say \"hi\" at C:\\temp");

    // Null and array datapoints and the hint itself never become columns.
    auto columns = server().query(
        "SELECT column_name FROM information_schema.columns WHERE table_name = 'nr_mixed_line' "
        "AND column_name IN ('gone', 'samples', 'redshifthint')");
    EXPECT_TRUE(columns.empty());
    EXPECT_EQ(server().scalar("SELECT asset_code || ' ' || pressure FROM nr_mixed_boiler"), "nr-mixed boiler 1.5");
}

TEST_F(NorthRunTest, CleanRunFromStandardInputSummarisesAndExitsZero) {
    std::string input;
    for (int i = 0; i < 5; ++i)
        input += reading(i % 2 ? "nr clean a" : "nr clean b", R"({"n": )" + std::to_string(i) + "}",
                         "2026-12-06 10:00:0" + std::to_string(i));
    // No --readings: standard input is the default.
    Result result = run(atServer({"--block-size", "2"}), input);

    ASSERT_EQ(result.status, 0) << result.describe();
    EXPECT_EQ(summary(result), "read 5 sent 5 not-sent 0 rejected 0 blocks 3 tables 2");
    EXPECT_EQ(countContaining(result.err, "north-run:"), 0u) << result.err;
    EXPECT_EQ(rowCount("nr_clean_a"), "2");
    EXPECT_EQ(rowCount("nr_clean_b"), "3");
    // Blocks go in file order.
    EXPECT_EQ(server().scalar("SELECT string_agg(n::text, ',' ORDER BY user_ts) FROM nr_clean_b"), "0,2,4");
}

TEST_F(NorthRunTest, BadLinesAreReportedByNumberAndTheGoodLinesStillSent) {
    std::string input = reading("nr bad", R"({"n": 1})") +                      // 1
                        "this is not json\n" +                                   // 2
                        "   \n" +                                                // 3: blank, skipped
                        reading("nr bad", R"({"n": 2})") +                       // 4
                        R"({"datapoints": {"n": 3}})" "\n" +                     // 5: no asset
                        reading("nr bad", R"({"n": 4})", "2026-02-30 10:00:00") +  // 6: no such day
                        R"({"asset": "nr bad", "datapoints": {"n": 5}} extra)" "\n" +  // 7: trailing text
                        reading("nr bad", R"({"n": 6})");                        // 8, no line end after it
    input.pop_back();
    Result result = run(atServer({"--readings", "-"}), input);

    EXPECT_EQ(result.status, 1) << result.describe();
    EXPECT_EQ(summary(result), "read 3 sent 3 not-sent 0 rejected 4 blocks 1 tables 1");
    std::vector<std::string> reported;
    for (const std::string& line : splitLines(result.err))
        if (line.rfind("north-run: line ", 0) == 0) reported.push_back(line.substr(0, line.find(':', 16)));
    EXPECT_EQ(reported, (std::vector<std::string>{"north-run: line 2", "north-run: line 5", "north-run: line 6",
                                                  "north-run: line 7"}))
        << result.err;
    EXPECT_NE(result.err.find("2026-02-30"), std::string::npos) << result.err;
    EXPECT_EQ(server().scalar("SELECT string_agg(n::text, ',' ORDER BY n) FROM nr_bad"), "1,2,6");
}

TEST_F(NorthRunTest, ServerThatIsDownCountsEveryReadingAsNotSent) {
    std::string input;
    for (int i = 0; i < 4; ++i) input += reading("nr down", R"({"n": 1})");
    Result result = run(at(unusedLoopbackPort(), {"--block-size", "2", "--readings", file("down.jsonl", input)}));

    EXPECT_EQ(result.status, 1) << result.describe();
    EXPECT_EQ(summary(result), "read 4 sent 0 not-sent 4 rejected 0 blocks 2 tables 1");
    EXPECT_EQ(countContaining(result.err, "the plugin sent 0 of 2 readings"), 2u) << result.err;
}

// -------------------------------------------------------------------- state

TEST_F(NorthRunTest, StateFileRestoresTheCacheSoTheNextRunAsksNoSchemaQuestions) {
    std::string readings = file("state.jsonl", reading("nr state pump", R"({"speed": 1, "motor": {"rpm": 2}})") +
                                                   reading("nr state boiler", R"({"temp": 80.5})"));
    std::string state = dir + "/cache/state.json";
    fs::create_directory(dir + "/cache");
    std::vector<std::string> args = atServer({"--readings", readings, "--state", state, "--log-level", "debug"});

    Result first = run(args);
    ASSERT_EQ(first.status, 0) << first.describe();
    // Without a cache the plugin asks the catalogue: that is what the second
    // run must not do.
    EXPECT_GT(countContaining(first.err, "information_schema"), 0u) << first.err;
    rapidjson::Document cache;
    cache.Parse(readFile(state).c_str());
    ASSERT_FALSE(cache.HasParseError()) << readFile(state);
    EXPECT_NE(readFile(state).find("nr_state_pump"), std::string::npos);
    // Only the state file is left: the temporary one was renamed over it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir + "/cache"), fs::directory_iterator()), 1);

    server().setServerLog(true);
    size_t mark = server().logMark();
    Result second = run(args);
    std::vector<std::string> statements = server().statementsSince(mark);
    server().setServerLog(false);

    ASSERT_EQ(second.status, 0) << second.describe();
    EXPECT_EQ(countContaining(second.err, "information_schema"), 0u) << second.err;
    size_t catalogueQueries = 0;
    for (const std::string& statement : statements)
        if (statement.find("information_schema") != std::string::npos) ++catalogueQueries;
    EXPECT_EQ(catalogueQueries, 0u);
    EXPECT_EQ(rowCount("nr_state_pump"), "2");
    EXPECT_EQ(rowCount("nr_state_boiler"), "2");
}

TEST_F(NorthRunTest, SigtermSendsWhatWasReadThenSavesTheStateAndExits130) {
    std::string state = dir + "/state.json";
    NorthRun process(atServer({"--block-size", "2", "--state", state}), dir);
    // Two readings fill a block; the third waits in the next one while
    // north-run waits for more input that never comes.
    process.write(reading("nr signal", R"({"n": 1})") + reading("nr signal", R"({"n": 2})") +
                  reading("nr signal", R"({"n": 3})"));
    bool firstBlockArrived = false;
    for (int i = 0; i < 600 && !firstBlockArrived; ++i) {
        auto rows = server().query(
            "SELECT count(*) FROM information_schema.tables WHERE table_name = 'nr_signal'");
        firstBlockArrived = rows[0][0] == "1" && rowCount("nr_signal") == "2";
        if (!firstBlockArrived) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(firstBlockArrived);
    // Time to return from the first block and take in the third line.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    process.signal(SIGTERM);
    Result result = process.wait(std::chrono::seconds(60));

    EXPECT_EQ(result.status, 130) << result.describe();
    EXPECT_EQ(summary(result), "read 3 sent 3 not-sent 0 rejected 0 blocks 2 tables 1");
    EXPECT_EQ(rowCount("nr_signal"), "3");
    EXPECT_NE(readFile(state).find("nr_signal"), std::string::npos);
}

// ----------------------------------------------------- description and setup

TEST_F(NorthRunTest, InfoPrintsTheDescriptionAsJsonWithTheEightConfigItems) {
    Result result = run({"--plugin", PLUGIN_PATH, "--info"});
    ASSERT_EQ(result.status, 0) << result.describe();
    rapidjson::Document info;
    info.Parse(result.out.c_str());
    ASSERT_FALSE(info.HasParseError()) << result.out;
    ASSERT_TRUE(info.IsObject());
    EXPECT_STREQ(info["name"].GetString(), "cirrant");
    EXPECT_STREQ(info["type"].GetString(), "north");
    EXPECT_TRUE(info["version"].IsString());
    EXPECT_TRUE(info["interface"].IsString());
    ASSERT_TRUE(info["options"].IsUint());
    EXPECT_EQ(info["options"].GetUint() & 0x0008u, 0x0008u) << "the plugin asks the host to keep its state";

    const rapidjson::Value& config = info["config"];
    ASSERT_TRUE(config.IsObject());
    std::vector<std::string> items;
    for (auto it = config.MemberBegin(); it != config.MemberEnd(); ++it) items.push_back(it->name.GetString());
    EXPECT_EQ(items, (std::vector<std::string>{"plugin", "host", "port", "dbName", "dbUser", "dbPass",
                                               "vantrelInstance", "source"}));
    EXPECT_STREQ(config["host"]["default"].GetString(), "localhost");
    EXPECT_STREQ(config["port"]["default"].GetString(), "5439");
}

TEST_F(NorthRunTest, UnknownItemOrUnusablePortIsOneClearLineAndExitTwo) {
    std::string input = file("never.jsonl", reading("nr never", R"({"n": 1})"));
    struct Case {
        std::vector<std::string> args;
        std::string named;
    } cases[] = {
        {{"--set", "hostname=db.example"}, "'hostname'"},
        {{"--config", file("unknown.json", R"({"colour": "blue"})")}, "'colour'"},
        {{"--set", "port=abc"}, "'abc'"},
        {{"--set", "port=99999999999"}, "'99999999999'"},
        {{"--set", "port"}, "ITEM=VALUE"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--readings", input});
        Result result = run(args);
        EXPECT_EQ(result.status, 2) << result.describe();
        EXPECT_TRUE(result.out.empty()) << result.describe();
        std::vector<std::string> lines = splitLines(result.err);
        ASSERT_EQ(lines.size(), 1u) << result.describe();
        EXPECT_EQ(lines[0].rfind("north-run: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(c.named), std::string::npos) << lines[0];
    }
}
