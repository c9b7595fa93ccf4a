// tavmerk-util serve end to end: the real binary serving an archive built
// byte by byte, spoken to over raw sockets so that requests can lie (a
// wrong Host, a Content-Length the body does not keep). Checks who may
// talk, what each read answers byte for byte, that every change is one
// commit and a refused one changes nothing, and that readers see whole
// versions while another process commits.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "fixtures.h"
#include "test_support.h"
#include "engine/tree_listing.h"

namespace test {
namespace {

struct Answer {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& name) const
    {
        const auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

// The body of a chunked answer, its chunks joined.
std::string unchunked(const std::string& raw)
{
    std::string out;
    size_t at = 0;
    for (;;) {
        const size_t line_end = raw.find("\r\n", at);
        if (line_end == std::string::npos)
            return out;
        const size_t size = std::stoul(raw.substr(at, line_end - at), nullptr, 16);
        if (size == 0)
            return out;
        out += raw.substr(line_end + 2, size);
        at = line_end + 2 + size + 2;
    }
}

Answer parse_answer(const std::string& raw)
{
    Answer answer;
    const size_t head_end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || head_end == std::string::npos)
        return answer;
    answer.status = std::stoi(raw.substr(9, 3));
    size_t at = raw.find("\r\n") + 2;
    while (at < head_end) {
        const size_t end = raw.find("\r\n", at);
        const std::string line = raw.substr(at, end - at);
        std::string name = line.substr(0, line.find(':'));
        for (char& c : name)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        answer.headers[name] = line.substr(line.find(':') + 2);
        at = end + 2;
    }
    answer.body = raw.substr(head_end + 4);
    if (answer.header("transfer-encoding") == "chunked")
        answer.body = unchunked(answer.body);
    return answer;
}

int connect_to(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

std::string read_to_end(int fd)
{
    std::string raw;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        raw.append(buffer, size_t(n));
    return raw;
}

// Sends `raw` as it is, but for "Connection: close" added where it has no
// Connection header, and reads the answer until the server closes.
Answer talk(int port, std::string raw)
{
    const int fd = connect_to(port);
    if (fd < 0)
        return Answer{};
    if (raw.find("\r\nConnection:") == std::string::npos)
        raw.insert(raw.find("\r\n\r\n") + 2, "Connection: close\r\n");
    send_all(fd, raw.data(), raw.size());
    const std::string answer = read_to_end(fd);
    ::close(fd);
    return parse_answer(answer);
}

std::string escaped(const std::string& text)
{
    std::string out;
    static const char digits[] = "0123456789ABCDEF";
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || std::strchr("-._~/*", ch)) {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

// docs/readme.txt (stored), docs/notes.txt (zlib), docs/old.txt (deleted),
// docs/deep/pic.png (stored), tools/run.sh (zlib).
const std::string notes = sample_data(70000, 3, true);
const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + sample_data(300, 4, false);

Bytes served_archive()
{
    ArchiveBuilder b;
    b.folder("docs").stored("readme.txt", "hello\n").compressed("notes.txt", notes).deleted("old.txt");
    b.folder("deep").stored("pic.png", png).end().end();
    b.folder("tools").compressed("run.sh", "#!/bin/sh\necho run\n").end();
    return b.build().bytes;
}

// The server run on `pak`, stopped by SIGTERM when the object dies.
class Served {
public:
    explicit Served(const std::string& pak, std::vector<std::string> extra = {})
    {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        std::vector<std::string> args = {util_path(), "serve", pak};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        // The one line: "serving http://127.0.0.1:PORT/?token=TOKEN".
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n')
            line_ += c;
        ::close(fds[0]);
        const std::string prefix = "serving http://127.0.0.1:";
        if (line_.compare(0, prefix.size(), prefix) == 0) {
            port = std::stoi(line_.substr(prefix.size()));
            token = line_.substr(line_.find("token=") + 6);
        }
    }
    ~Served()
    {
        if (stopped_ < 0)
            stop();
    }

    // Status of the server ended by SIGTERM.
    int stop()
    {
        ::kill(pid_, SIGTERM);
        int raw = 0;
        ::waitpid(pid_, &raw, 0);
        stopped_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return stopped_;
    }
    pid_t pid() const { return pid_; }

    std::string host() const { return "127.0.0.1:" + std::to_string(port); }

    // A GET with the token in a header.
    Answer get(const std::string& target, const std::string& extra_headers = "") const
    {
        return talk(port, "GET " + target + " HTTP/1.1\r\nHost: " + host() + "\r\nX-Tavmerk-Token: " + token +
                                  "\r\nConnection: close\r\n" + extra_headers + "\r\n");
    }
    // A POST as the page sends it: token, this server's Origin.
    Answer post(const std::string& target, const std::string& body, const std::string& extra_headers = "") const
    {
        return talk(port, post_head(target, body.size(), extra_headers) + body);
    }
    std::string post_head(const std::string& target, uint64_t length, const std::string& extra_headers = "") const
    {
        return "POST " + target + " HTTP/1.1\r\nHost: " + host() + "\r\nX-Tavmerk-Token: " + token +
               "\r\nOrigin: http://" + host() + "\r\nContent-Length: " + std::to_string(length) +
               "\r\nConnection: close\r\n" + extra_headers + "\r\n";
    }

    int port = 0;
    std::string token;

private:
    pid_t pid_ = -1;
    int stopped_ = -1;
    std::string line_;
};

std::string upload_body(const std::vector<std::pair<std::string, std::string>>& files,
                        const std::string& folders = "[]")
{
    std::string manifest = "{\"files\":[", data;
    for (size_t i = 0; i < files.size(); ++i) {
        manifest += (i ? "," : "") + std::string("{\"path\":\"") + files[i].first + "\",\"size\":" +
                    std::to_string(files[i].second.size()) + "}";
        data += files[i].second;
    }
    return manifest + "],\"folders\":" + folders + "}\n" + data;
}

struct ExplorerFixture : ::testing::Test {
    ScratchDir dir;
    std::string pak = dir / "a.pak";
    void SetUp() override { write_file(pak, served_archive()); }

    RunResult util(const std::vector<std::string>& args)
    {
        RunOptions options;
        options.binary = util_path();
        options.split_stderr = true;
        options.timeout_seconds = 60;
        return run_tool(args, options);
    }
};

TEST(ExplorerSearch, PatternsMatchWholePathsWithoutCase)
{
    const struct {
        const char* pattern;
        const char* text;
        bool match;
    } rows[] = {
        {"*.txt", "docs/a.txt", true},  // "*" crosses levels
        {"docs/*", "docs/sub/a", true},
        {"*.TXT", "docs/a.txt", true},
        {"?ocs*", "docs", true},
        {"d?cs", "docs/x", false},      // anchored at both ends
        {"*a*b*c", "xaybzc", true},
        {"*a*b*c", "xaybz", false},
        {"", "", true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(tavmerk::search_match(row.pattern, row.text), row.match) << row.pattern << " on " << row.text;
}

TEST_F(ExplorerFixture, ServesOnlyWithTheTokenTheHostAndForChangesThisOrigin)
{
    const Bytes before = read_bytes(pak);
    Served reading(pak);
    ASSERT_GT(reading.port, 0);
    EXPECT_EQ(reading.token.size(), 32u);
    const std::string host = reading.host();
    const std::string token = reading.token;
    const std::string mkdir = "{\"path\":\"docs/new\"}";
    const auto post = [&](const std::string& head) {
        return head + "Content-Length: " + std::to_string(mkdir.size()) + "\r\nConnection: close\r\n\r\n" + mkdir;
    };
    const struct {
        std::string request;
        int status;
    } rows[] = {
        {"GET /api/info HTTP/1.1\r\nHost: " + host + "\r\n\r\n", 403},
        {"GET /api/info?token=" + std::string(32, '0') + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n", 403},
        {"GET /api/info HTTP/1.1\r\nHost: " + host + "\r\nX-Tavmerk-Token: " + token.substr(1) + "\r\n\r\n", 403},
        {"GET /api/info?token=" + token + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n", 200},
        {"GET /api/info HTTP/1.1\r\nHost: localhost:" + std::to_string(reading.port) + "\r\nCookie: a=b; tavmerk_token_" +
             std::to_string(reading.port) + "=" + token + "\r\n\r\n", 200},
        // A name that resolves here, another port, no Host at all.
        {"GET /api/info?token=" + token + " HTTP/1.1\r\nHost: evil.example:" + std::to_string(reading.port) + "\r\n\r\n", 403},
        {"GET /api/info?token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n", 403},
        {"GET /api/info?token=" + token + " HTTP/1.1\r\n\r\n", 403},
        // Changes: never by GET, only with this Origin, only with --write.
        {"GET /api/mkdir?path=docs/new&token=" + token + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n", 405},
        {post("POST /api/mkdir?token=" + token + " HTTP/1.1\r\nHost: " + host + "\r\n"), 403},
        {post("POST /api/mkdir?token=" + token + " HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://evil.example\r\n"), 403},
        {post("POST /api/mkdir?token=" + token + " HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host + "\r\n"), 403},
        {post("POST /api/info?token=" + token + " HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host + "\r\n"), 405},
    };
    for (const auto& row : rows) {
        const Answer answer = talk(reading.port, row.request);
        EXPECT_EQ(answer.status, row.status) << row.request;
        if (row.status == 200 && row.request.find("?token=") != std::string::npos) {
            EXPECT_EQ(answer.header("set-cookie"), "tavmerk_token_" + std::to_string(reading.port) + "=" + token +
                                                        "; Path=/; HttpOnly; SameSite=Strict");
        }
    }
    EXPECT_EQ(reading.stop(), 0);
    EXPECT_EQ(read_bytes(pak), before);

    // With --write the same POST goes through; another run's token does not.
    Served writing(pak, {"--write"});
    EXPECT_NE(writing.token, token);
    EXPECT_EQ(writing.post("/api/mkdir", mkdir, "X-Tavmerk-Token: " + token + "\r\n").status, 200);
    EXPECT_EQ(talk(writing.port, post("POST /api/mkdir?token=" + token + " HTTP/1.1\r\nHost: " + writing.host() +
                                          "\r\nOrigin: http://" + writing.host() + "\r\n"))
                  .status,
              403);
}

TEST_F(ExplorerFixture, RefusesAnArchiveItCannotWalkAndAPortInUse)
{
    const RunResult missing = util({"serve", dir / "none.pak"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("none.pak: cannot open"), std::string::npos) << missing.err;
    Bytes damaged = served_archive();
    put_be32(damaged, 28, 1 << 20);  // a directory past the file's end
    write_file(dir / "bad.pak", damaged);
    const RunResult bad = util({"serve", dir / "bad.pak"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    Served first(pak);
    const RunResult taken = util({"serve", pak, "--port", std::to_string(first.port)});
    EXPECT_EQ(taken.status, 2);
    EXPECT_EQ(taken.out, "");
    EXPECT_NE(taken.err.find("cannot listen on 127.0.0.1:" + std::to_string(first.port)), std::string::npos);
    EXPECT_EQ(util({"serve", pak, "--port", "70000"}).status, 2);
}

TEST_F(ExplorerFixture, ListsSearchesAndReadsRecordsByteForByte)
{
    Served served(pak);
    const Answer root = served.get("/api/children?path=");
    EXPECT_EQ(root.status, 200);
    EXPECT_NE(root.body.find("\"items\":[{\"kind\":\"folder\",\"name\":\"docs\",\"path\":\"docs\",\"place\":0},"
                             "{\"kind\":\"folder\",\"name\":\"tools\",\"path\":\"tools\""),
              std::string::npos)
        << root.body;
    const Answer docs = served.get("/api/children?path=docs");
    EXPECT_NE(docs.body.find("{\"checksum\":\"" ), std::string::npos);
    for (const char* row : {"\"kind\":\"stored\",\"method\":\"store\",\"name\":\"readme.txt\"",
                            "\"expanded_size\":70000", "\"kind\":\"zlib\",\"method\":\"zlib\",\"name\":\"notes.txt\"",
                            "\"kind\":\"deleted\",\"method\":\"\",\"name\":\"old.txt\"",
                            "\"kind\":\"folder\",\"name\":\"deep\",\"path\":\"docs/deep\""})
        EXPECT_NE(docs.body.find(row), std::string::npos) << row << " in " << docs.body;
    EXPECT_EQ(served.get("/api/children?path=docs/readme.txt").status, 404);
    EXPECT_EQ(served.get("/api/children?path=docs/..").status, 404);

    EXPECT_NE(served.get("/api/search?q=TXT").body.find("\"capped\":false"), std::string::npos);
    const Answer capped = served.get("/api/search?q=*.txt&limit=2");
    EXPECT_NE(capped.body.find("\"capped\":true"), std::string::npos);
    EXPECT_NE(capped.body.find("\"path\":\"docs/notes.txt\""), std::string::npos);
    EXPECT_EQ(capped.body.find("docs/old.txt"), std::string::npos) << capped.body;
    const Answer glob = served.get("/api/search?q=" + escaped("*/p?c.png"));
    EXPECT_NE(glob.body.find("\"path\":\"docs/deep/pic.png\""), std::string::npos);
    EXPECT_EQ(glob.body.find("readme"), std::string::npos);

    const struct {
        std::string target, range;
        int status;
        std::string body, type;
    } reads[] = {
        {"docs/readme.txt", "", 200, "hello\n", "text/plain; charset=utf-8"},
        {"docs/notes.txt", "", 200, notes, "text/plain; charset=utf-8"},
        {"docs/notes.txt", "bytes=65530-65545", 206, notes.substr(65530, 16), "text/plain; charset=utf-8"},
        {"docs/deep/pic.png", "bytes=1-3", 206, "PNG", "image/png"},
        {"tools/run.sh", "", 200, "#!/bin/sh\necho run\n", "text/plain; charset=utf-8"},
    };
    for (const auto& r : reads) {
        const Answer answer =
            served.get("/api/file?path=" + escaped(r.target), r.range.empty() ? "" : "Range: " + r.range + "\r\n");
        EXPECT_EQ(answer.status, r.status) << r.target << " " << r.range;
        EXPECT_TRUE(answer.body == r.body) << r.target << " " << r.range;
        EXPECT_EQ(answer.header("content-type"), r.type);
        EXPECT_EQ(answer.header("content-security-policy"), "sandbox; default-src 'none'");
    }
    EXPECT_EQ(served.get("/api/file?path=docs/readme.txt&download=1").header("content-disposition"),
              "attachment; filename=\"readme.txt\"; filename*=UTF-8''readme.txt");
    for (const std::string missing : {"docs/old.txt", "docs/none", "docs", "docs/../docs/readme.txt", "/docs/readme.txt"})
        EXPECT_EQ(served.get("/api/file?path=" + escaped(missing)).status, 404) << missing;
}

// Reads the members of a tar stream: name, type and contents.
std::vector<std::tuple<std::string, char, std::string>> tar_members(const std::string& tar, bool& ended)
{
    std::vector<std::tuple<std::string, char, std::string>> members;
    std::string long_name;
    ended = false;
    for (size_t at = 0; at + 512 <= tar.size();) {
        const std::string block = tar.substr(at, 512);
        if (block == std::string(512, '\0')) {
            ended = tar.size() == at + 1024 && tar.substr(at + 512) == std::string(512, '\0');
            break;
        }
        unsigned sum = 0;
        for (size_t i = 0; i < 512; ++i)
            sum += i >= 148 && i < 156 ? ' ' : static_cast<unsigned char>(block[i]);
        EXPECT_EQ(std::stoul(block.substr(148, 7), nullptr, 8), sum);
        EXPECT_EQ(block.substr(257, 8), std::string("ustar\0" "00", 8));
        const size_t size = std::stoul(block.substr(124, 11), nullptr, 8);
        const std::string data = tar.substr(at + 512, size);
        const std::string prefix = block.substr(345, 155).c_str();
        std::string name = block.substr(0, 100).c_str();
        if (!prefix.empty())
            name = prefix + "/" + name;
        at += 512 + (size + 511) / 512 * 512;
        if (block[156] == 'x') {
            long_name = data.substr(data.find("path=") + 5);
            long_name.pop_back();
            continue;
        }
        members.emplace_back(long_name.empty() ? name : long_name, block[156], data);
        long_name.clear();
    }
    return members;
}

TEST_F(ExplorerFixture, TarStreamHoldsTheFolderNamedFromItsOwnNameDown)
{
    ArchiveBuilder b;
    const std::string long_level(120, 'L');
    b.folder("docs").stored("readme.txt", "hello\n").compressed("notes.txt", notes).deleted("old.txt");
    b.folder(long_level).stored(long_level + ".txt", "long").end().end();
    write_file(pak, b.build().bytes);
    Served served(pak);
    const Answer answer = served.get("/api/tar?path=docs");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.header("content-type"), "application/x-tar");
    EXPECT_EQ(answer.header("content-disposition"), "attachment; filename=\"docs.tar\"; filename*=UTF-8''docs.tar");
    bool ended = false;
    const auto members = tar_members(answer.body, ended);
    EXPECT_TRUE(ended);
    using Member = std::tuple<std::string, char, std::string>;
    const std::vector<Member> want = {
        Member{"docs/", '5', ""},
        Member{"docs/readme.txt", '0', "hello\n"},
        Member{"docs/notes.txt", '0', notes},
        Member{"docs/" + long_level + "/", '5', ""},
        Member{"docs/" + long_level + "/" + long_level + ".txt", '0', "long"},
    };
    EXPECT_TRUE(members == want);
    EXPECT_EQ(served.get("/api/tar?path=nothing").status, 404);
}

TEST_F(ExplorerFixture, RefusedUploadsAndNamesChangeNothing)
{
    const Bytes before = read_bytes(pak);
    Served served(pak, {"--write"});
    const struct {
        std::string target, body;
        int status;
        std::string error;
    } rows[] = {
        {"/api/upload?to=docs", upload_body({{"../x.txt", "x"}}), 400, "docs/../x.txt: refused"},
        {"/api/upload?to=docs", upload_body({{"a\\u0000b", "x"}}), 400, "docs/a\\\\x00b: refused"},
        {"/api/upload?to=docs", upload_body({{"a\\\\b", "x"}}), 400, "docs/a\\\\\\\\b: refused"},
        {"/api/upload?to=", upload_body({{"top.txt", "x"}}), 400, "top.txt: refused"},
        {"/api/upload?to=docs", upload_body({{"ok.txt", "x"}, {"..", "y"}}), 400, "docs/..: refused"},
        {"/api/upload?to=docs", "not a manifest\nxx", 400, "manifest"},
        {"/api/upload?to=docs", upload_body({{"a.txt", "abc"}}) + "more", 400, "goes on past"},
        {"/api/upload?to=docs", upload_body({{"a.txt", "abc"}}).substr(0, 53), 400, "ended before"},
        {"/api/mkdir", "{\"path\":\"docs/a\\\\b\"}", 400, "refused"},
        {"/api/mkdir", "{\"path\":\"docs/..\"}", 400, "refused"},
        {"/api/rename", "{\"from\":\"docs/readme.txt\",\"to\":\"docs/CON\"}", 400, "refused"},
        {"/api/rename", "{\"from\":\"docs/none\",\"to\":\"docs/x\"}", 404, "no such file"},
        {"/api/remove", "{\"paths\":[\"docs/none\"]}", 404, "no such file"},
        {"/api/remove", "{\"paths\":\"docs\"}", 400, "list of paths"},
    };
    for (const auto& row : rows) {
        const Answer answer = served.post(row.target, row.body);
        EXPECT_EQ(answer.status, row.status) << row.target << " " << row.body;
        EXPECT_NE(answer.body.find(row.error), std::string::npos) << answer.body;
    }
    // A Content-Length the body does not keep: the rest never comes.
    const std::string body = upload_body({{"a.txt", std::string(1000, 'a')}});
    const int fd = connect_to(served.port);
    const std::string head = served.post_head("/api/upload?to=docs", body.size());
    send_all(fd, head.data(), head.size());
    send_all(fd, body.data(), body.size() - 10);
    EXPECT_EQ(parse_answer(read_to_end(fd)).status, 400);
    ::close(fd);
    // Past 4 GiB, told from the Content-Length before any byte is sent; none.
    EXPECT_EQ(talk(served.port, served.post_head("/api/upload?to=docs", uint64_t(4) << 30)).status, 413);
    EXPECT_EQ(talk(served.port, served.post_head("/api/upload?to=docs", (uint64_t(4) << 30) - 1000)).status, 413);
    std::string no_length = served.post_head("/api/upload?to=docs", 0);
    no_length.erase(no_length.find("Content-Length: 0\r\n"), 19);
    EXPECT_EQ(talk(served.port, no_length).status, 411);
    EXPECT_EQ(read_bytes(pak), before);
}

TEST_F(ExplorerFixture, EachChangeIsOneCommitAndOtherRunsShowOnTheNextRequest)
{
    Served served(pak, {"--write"});
    const std::string first = served.get("/api/version").body;
    const Answer uploaded = served.post("/api/upload?to=docs",
                                        upload_body({{"new/a.txt", "alpha"}, {"b.bin", std::string(5000, 'b')}},
                                                    "[\"new/empty\"]"));
    EXPECT_EQ(uploaded.status, 200) << uploaded.body;
    EXPECT_NE(uploaded.body.find("{\"folder\":false,\"outcome\":\"added\",\"path\":\"docs/new/a.txt\"}"),
              std::string::npos)
        << uploaded.body;
    EXPECT_EQ(served.get("/api/file?path=docs/new/a.txt").body, "alpha");
    EXPECT_EQ(served.get("/api/file?path=docs/b.bin").body, std::string(5000, 'b'));
    EXPECT_EQ(served.get("/api/children?path=docs/new/empty").status, 200);
    EXPECT_EQ(served.post("/api/rename", "{\"from\":\"docs/readme.txt\",\"to\":\"docs/new/readme.md\"}").status, 200);
    EXPECT_EQ(served.post("/api/mkdir", "{\"path\":\"docs/made/here\"}").status, 200);
    EXPECT_EQ(served.post("/api/remove", "{\"paths\":[\"docs/notes.txt\",{\"path\":\"tools\"}]}").status, 200);
    EXPECT_EQ(served.get("/api/file?path=docs/new/readme.md").body, "hello\n");
    EXPECT_EQ(served.get("/api/file?path=docs/notes.txt").status, 404);

    // Another run's commit, seen by the next request.
    const std::string before_other = served.get("/api/version").body;
    EXPECT_NE(before_other, first);
    EXPECT_EQ(util({"mkdir", pak, "docs/other"}).status, 0);
    EXPECT_NE(served.get("/api/version").body, before_other);
    EXPECT_EQ(served.get("/api/children?path=docs/other").status, 200);
    EXPECT_EQ(served.stop(), 0);

    const RunResult tested = util({"test", pak});
    EXPECT_EQ(tested.status, 0) << tested.out << tested.err;
    const RunResult listed = util({"list", pak});
    for (const char* path : {"docs/new/a.txt", "docs/b.bin", "docs/new/readme.md"})
        EXPECT_NE(listed.out.find(path), std::string::npos) << path << " in " << listed.out;
}

// Version 0 the archive as built, 1 an upload of docs/new.txt (which
// writes it anew with room, keeping version 0), 2 docs/readme.txt removed.
TEST_F(ExplorerFixture, VersionsAreListedReadComparedAndUndone)
{
    Served served(pak, {"--write"});
    ASSERT_EQ(served.post("/api/upload?to=docs", upload_body({{"new.txt", "alpha"}})).status, 200);
    ASSERT_EQ(served.post("/api/remove", "{\"paths\":[\"docs/readme.txt\"]}").status, 200);

    // The log: log --json's lines, in order, and how the history ends.
    const nlohmann::json log = nlohmann::json::parse(served.get("/api/log").body, nullptr, false);
    ASSERT_TRUE(log.is_object());
    EXPECT_EQ(log["end"], "complete");
    std::istringstream lines(util({"log", pak, "--json"}).out);
    size_t listed = 0;
    for (std::string line; std::getline(lines, line); ++listed) {
        ASSERT_LT(listed, log["versions"].size());
        EXPECT_EQ(log["versions"][listed], nlohmann::json::parse(line)) << line;
    }
    EXPECT_EQ(listed, 3u);
    EXPECT_EQ(log["versions"].size(), 3u);

    const struct {
        std::string target;
        int status;
        std::string body;  // the whole body of a file, else a part of the answer
    } reads[] = {
        {"/api/file?path=docs/readme.txt&at=1", 200, "hello\n"},
        {"/api/file?path=docs/readme.txt&at=~1", 200, "hello\n"},
        {"/api/file?path=docs/readme.txt", 404, "no such file"},
        {"/api/file?path=docs/new.txt&at=0", 404, "no such file"},
        {"/api/file?path=docs/notes.txt&at=0", 200, notes},
        {"/api/children?path=docs&at=0", 200, "\"at\":0,\"items\":[{\"checksum\""},
        {"/api/children?path=docs&at=2", 200, "{\"items\":"},  // the one in force, by its id
        {"/api/search?q=new&at=0", 200, "\"results\":[]"},
        {"/api/info?at=1", 200, "\"at\":1,\"data_end\""},
        {"/api/tar?path=docs&at=1", 200, "docs/readme.txt"},
        {"/api/info?at=9", 404, "a.pak: no version 9\"}"},
        {"/api/children?path=&at=~3", 404, "a.pak: no version ~3\"}"},
        {"/api/file?path=docs/notes.txt&at=x1", 404, "no version x1"},
        {"/api/diff?from=9", 404, "no version 9"},
        {"/api/diff?to=0", 400, "from=VERSION"},
    };
    for (const auto& r : reads) {
        const Answer answer = served.get(r.target);
        EXPECT_EQ(answer.status, r.status) << r.target << ": " << answer.body.substr(0, 200);
        if (r.target.compare(0, 10, "/api/file?") == 0 && r.status == 200)
            EXPECT_TRUE(answer.body == r.body) << r.target;
        else
            EXPECT_NE(answer.body.find(r.body), std::string::npos) << r.target << ": " << answer.body.substr(0, 200);
    }

    // The diff says what diff --from says, a line per path.
    const nlohmann::json diff = nlohmann::json::parse(served.get("/api/diff?from=0").body, nullptr, false);
    ASSERT_TRUE(diff.is_object());
    std::string said;
    for (const auto& c : diff["changes"])
        said += c["change"].get<std::string>() + " " + c["path"].get<std::string>() + "\n";
    EXPECT_EQ(said, util({"diff", pak, "--from", "0"}).out);
    EXPECT_EQ(said, "added docs/new.txt\nremoved docs/readme.txt\n");

    // Undo: a change as the others are, refused without its token, Origin or
    // POST, or for a version that is not there; nothing changes then.
    const Bytes before = read_bytes(pak);
    const std::string to_one = "{\"to\":1}";
    const std::string posted = "POST /api/undo HTTP/1.1\r\nHost: " + served.host() + "\r\nContent-Length: 8\r\n";
    const struct {
        std::string request;
        int status;
    } refused[] = {
        {"GET /api/undo?to=1 HTTP/1.1\r\nHost: " + served.host() + "\r\nX-Tavmerk-Token: " + served.token + "\r\n\r\n", 405},
        {posted + "Origin: http://" + served.host() + "\r\n\r\n" + to_one, 403},
        {posted + "X-Tavmerk-Token: " + served.token + "\r\n\r\n" + to_one, 403},
        {posted + "X-Tavmerk-Token: " + served.token + "\r\nOrigin: http://evil.example\r\n\r\n" + to_one, 403},
        {served.post_head("/api/undo", 9) + "{\"to\":99}", 404},
        {served.post_head("/api/undo", 10) + "{\"to\":\"x\"}", 400},
        {served.post_head("/api/undo", 10) + "{\"to\":[1]}", 400},
        {served.post_head("/api/undo", 11) + "{\"to\":\"~9\"}", 404},
    };
    for (const auto& r : refused)
        EXPECT_EQ(talk(served.port, r.request).status, r.status) << r.request;
    EXPECT_EQ(read_bytes(pak), before);

    const Answer undone = served.post("/api/undo", to_one);
    EXPECT_EQ(undone.status, 200) << undone.body;
    EXPECT_NE(undone.body.find("{\"changes\":[{\"folder\":false,\"outcome\":\"added\",\"path\":\"docs/readme.txt\"}],"),
              std::string::npos)
        << undone.body;
    EXPECT_EQ(served.get("/api/file?path=docs/readme.txt").body, "hello\n");
    // With no body: back one version, which redoes the removal.
    const Answer redone = served.post("/api/undo", "");
    EXPECT_EQ(redone.status, 200) << redone.body;
    EXPECT_NE(redone.body.find("\"outcome\":\"removed\",\"path\":\"docs/readme.txt\""), std::string::npos);
    EXPECT_EQ(served.stop(), 0);

    const RunResult after = util({"log", pak});
    EXPECT_EQ(after.out.substr(0, 2), "4 ");
    EXPECT_NE(after.out.find("undo to version 2\n"), std::string::npos) << after.out;
    EXPECT_NE(after.out.find("undo to version 1\n"), std::string::npos) << after.out;
    EXPECT_EQ(util({"test", pak}).status, 0);
}

// Peak memory of a process, from /proc (Linux).
uint64_t peak_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::stoull(line.substr(6));
    return 0;
}

TEST_F(ExplorerFixture, AnUploadStreamsToDiskWithMemoryThatDoesNotGrowWithIt)
{
    if (under_valgrind())
        GTEST_SKIP() << "200 MiB through the server takes too long under valgrind";
    Served served(pak, {"--write"});
    const uint64_t size = uint64_t(200) << 20;
    const std::string manifest = "{\"files\":[{\"path\":\"big.bin\",\"size\":" + std::to_string(size) + "}]}\n";
    const int fd = connect_to(served.port);
    const std::string head = served.post_head("/api/upload?to=docs&store=1", manifest.size() + size);
    ASSERT_TRUE(send_all(fd, head.data(), head.size()));
    ASSERT_TRUE(send_all(fd, manifest.data(), manifest.size()));
    std::string piece(1 << 20, 'z');
    for (uint64_t sent = 0; sent < size; sent += piece.size()) {
        piece[0] = char('a' + (sent >> 20) % 26);  // each MiB told apart
        ASSERT_TRUE(send_all(fd, piece.data(), piece.size()));
    }
    const Answer answer = parse_answer(read_to_end(fd));
    ::close(fd);
    EXPECT_EQ(answer.status, 200) << answer.body;
    EXPECT_LT(peak_kib(served.pid()), uint64_t(100) << 10) << "the server held the upload in memory";
    const Answer tail = served.get("/api/file?path=docs/big.bin", "Range: bytes=209715199-209715199\r\n");
    EXPECT_EQ(tail.body, "z");
    const Answer mark = served.get("/api/file?path=docs/big.bin", "Range: bytes=104857600-104857601\r\n");
    EXPECT_EQ(mark.body, std::string(1, char('a' + 100 % 26)) + "z");
}

TEST_F(ExplorerFixture, ParallelReadersSeeWholeVersionsWhileAnotherRunCommits)
{
    // Versions of one file, each whole or not at all in every answer.
    std::set<std::string> versions = {notes};
    std::vector<std::string> sources;
    for (int v = 0; v < 6; ++v) {
        sources.push_back(dir / ("v" + std::to_string(v)));
        make_dirs(sources.back());
        const std::string contents = sample_data(20000 + 3000 * v, 10 + v, true);
        write_file(sources.back() + "/notes.txt", contents);
        versions.insert(contents);
    }
    Served served(pak);
    const int clients = under_valgrind() ? 8 : 50;
    std::atomic<int> torn{0}, failed{0}, answered{0};
    std::atomic<bool> committing{true};
    std::thread writer([&] {
        for (const std::string& source : sources)
            if (util({"add", pak, source + "/notes.txt", "--to", "docs"}).status != 0)
                ++failed;
        committing = false;
    });
    std::vector<std::thread> readers;
    for (int c = 0; c < clients; ++c)
        readers.emplace_back([&] {
            for (int i = 0; i < 40 && (committing || i < 3); ++i) {
                const Answer answer = served.get("/api/file?path=docs/notes.txt");
                if (answer.status != 200)
                    ++failed;
                else if (!versions.count(answer.body))
                    ++torn;
                ++answered;
            }
        });
    writer.join();
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_GE(answered, clients * 3);
    EXPECT_EQ(served.get("/api/file?path=docs/notes.txt").body, read_file(sources.back() + "/notes.txt"));
}

}  // namespace
}  // namespace test
