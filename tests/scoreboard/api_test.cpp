// The JSON API over real HTTP against a real server and database file.
#include "support.hpp"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

using namespace scoreboard_test;
namespace json = boost::json;

namespace {

constexpr const char* game = "Barnblast V2";

class ApiTest : public ::testing::Test {
protected:
    TempDir dir;
    ServerProcess server{dir.path() / "scores.db"};
    unsigned short port = server.port();

    json::array table(const std::string& query)
    {
        const auto reply = get(port, "/api/scores?" + query);
        EXPECT_EQ(reply.result_int(), 200) << reply.body();
        return json_of(reply).at("scores").as_array();
    }
};

std::vector<std::string> names_of(const json::array& rows)
{
    std::vector<std::string> names;
    for (const auto& r : rows)
        names.emplace_back(r.at("name").as_string());
    return names;
}

}  // namespace

using post_score_test = ApiTest;

TEST_F(post_score_test, stores_and_echoes_the_score)
{
    const auto reply = post_score(port, game, 35, "Ann", uuid(1));
    ASSERT_EQ(reply.result_int(), 201) << reply.body();
    const auto body = json_of(reply);
    EXPECT_EQ(body.at("id"), json::value(uuid(1)));
    EXPECT_EQ(body.at("game"), game);
    EXPECT_EQ(body.at("name"), "Ann");
    EXPECT_EQ(body.at("score"), 35);

    const auto rows = table("game=Barnblast%20V2");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("rank"), 1);
    EXPECT_EQ(rows[0].at("name"), "Ann");
    EXPECT_EQ(rows[0].at("score"), 35);
    EXPECT_EQ(rows[0].at("time"), body.at("time"));
}

TEST_F(post_score_test, retry_with_same_id_is_stored_once)
{
    ASSERT_EQ(post_score(port, game, 10, "Bo", uuid(7)).result_int(), 201);
    const auto first_time = json_of(get(port, "/api/scores?game=Barnblast+V2")).at("scores").at(0).at("time");
    for (int i = 0; i < 3; ++i) {
        const auto retry = post_score(port, game, 10, "Bo", uuid(7));
        ASSERT_EQ(retry.result_int(), 200) << retry.body();
        EXPECT_EQ(json_of(retry).at("time"), first_time);  // the first arrival's row
    }
    // Case of the hex digits does not make it another id.
    std::string upper = uuid(7);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(post_score(port, game, 10, "Bo", upper).result_int(), 200);
    EXPECT_EQ(table("game=Barnblast+V2").size(), 1u);
}

TEST_F(post_score_test, racing_retries_store_one_row)
{
    constexpr int n = 16;
    std::latch go(n);
    std::vector<int> status(n);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            go.arrive_and_wait();
            status[i] = post_score(port, game, 60, "Cy", uuid(99)).result_int();
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(std::count(status.begin(), status.end(), 201), 1);
    EXPECT_EQ(std::count(status.begin(), status.end(), 200), n - 1);
    EXPECT_EQ(json_of(get(port, "/api/scores?game=Barnblast+V2")).at("total"), 1);
}

TEST_F(post_score_test, same_id_with_other_content_is_a_conflict)
{
    ASSERT_EQ(post_score(port, game, 10, "Di", uuid(3)).result_int(), 201);
    for (const auto& [g, score, name] : {std::tuple{game, 11, "Di"}, {game, 10, "Dee"}, {"Other", 10, "Di"}}) {
        const auto reply = post_score(port, g, score, name, uuid(3));
        EXPECT_EQ(reply.result_int(), 422) << reply.body();
        EXPECT_EQ(json_of(reply).at("field"), "id");
    }
    const auto rows = table("game=Barnblast+V2");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("score"), 10);
}

TEST_F(post_score_test, accepts_boundary_values_and_ignores_unknown_members)
{
    const std::string accent64 = [] {
        std::string s;
        for (int i = 0; i < 64; ++i)
            s += "\xc3\xa9";  // é: two bytes, one character
        return s;
    }();
    EXPECT_EQ(post_score(port, game, 2147483647, "", uuid(10)).result_int(), 201);
    EXPECT_EQ(post_score(port, game, -2147483648LL, std::string(32, 'n'), uuid(11)).result_int(), 201);
    EXPECT_EQ(post_score(port, accent64, 0, "\xc3\xbc\xe2\x82\xac\xf0\x9f\x90\x94", uuid(12)).result_int(), 201);
    EXPECT_EQ(post_score(port, "g", 0, "a", uuid(13)).result_int(), 201);
    const auto extra = post_json(port, R"({"game":"g","score":1,"name":"b","id":")" + uuid(14) +
                                           R"(","level":3,"extra":{"x":[1,2]}})");
    EXPECT_EQ(extra.result_int(), 201) << extra.body();
    const auto charset = post_json(port, R"({"game":"g","score":1,"name":"c","id":")" + uuid(15) + R"("})",
                                   {{"Content-Type", "application/json; charset=UTF-8"}});
    EXPECT_EQ(charset.result_int(), 201) << charset.body();
}

class validation_test : public ApiTest {
protected:
    void expect_refused(const std::string& body, const std::string& field, const std::string& why)
    {
        const auto reply = post_json(port, body);
        ASSERT_EQ(reply.result_int(), 400) << body << " -> " << reply.body();
        const auto err = json_of(reply).as_object();
        if (field.empty())
            EXPECT_FALSE(err.contains("field")) << reply.body();
        else
            EXPECT_EQ(err.at("field"), json::value(field)) << body;
        EXPECT_NE(std::string(err.at("error").as_string()).find(why), std::string::npos)
            << body << " -> " << reply.body();
    }
    static std::string body(const std::string& game, const std::string& score, const std::string& name,
                            const std::string& id)
    {
        std::string b = "{";
        const auto add = [&](const char* k, const std::string& v) {
            if (v.empty())
                return;
            if (b.size() > 1)
                b += ",";
            b += "\"" + std::string(k) + "\":" + v;
        };
        add("game", game);
        add("score", score);
        add("name", name);
        add("id", id);
        return b + "}";
    }
    const std::string id = "\"" + uuid(42) + "\"";
};

TEST_F(validation_test, game)
{
    expect_refused(body("", "1", "\"a\"", id), "game", "required");
    expect_refused(body("7", "1", "\"a\"", id), "game", "string");
    expect_refused(body("\"\"", "1", "\"a\"", id), "game", "empty");
    expect_refused(body("\"" + std::string(65, 'g') + "\"", "1", "\"a\"", id), "game", "at most 64");
    expect_refused(body("\"a\\tb\"", "1", "\"a\"", id), "game", "control");
}

TEST_F(validation_test, name)
{
    expect_refused(body("\"g\"", "1", "", id), "name", "required");
    expect_refused(body("\"g\"", "1", "null", id), "name", "string");
    expect_refused(body("\"g\"", "1", "\"" + std::string(33, 'n') + "\"", id), "name", "at most 32");
    std::string accents;
    for (int i = 0; i < 33; ++i)
        accents += "\xc3\xa9";
    expect_refused(body("\"g\"", "1", "\"" + accents + "\"", id), "name", "at most 32");
    for (const char* control : {"\\n", "\\u0000", "\\u001b", "\\u007f", "\\u0085", "\\u009f"})
        expect_refused(body("\"g\"", "1", "\"a" + std::string(control) + "b\"", id), "name", "control");
    expect_refused(body("\"g\"", "1", "\"bad \xff byte\"", id), "", "UTF-8");
}

TEST_F(validation_test, score)
{
    expect_refused(body("\"g\"", "", "\"a\"", id), "score", "required");
    for (const char* bad : {"\"5\"", "1.5", "1e3", "true", "null", "[1]"})
        expect_refused(body("\"g\"", bad, "\"a\"", id), "score", "integer");
    for (const char* big : {"2147483648", "-2147483649", "9223372036854775808", "18446744073709551615"})
        expect_refused(body("\"g\"", big, "\"a\"", id), "score", "32-bit");
}

TEST_F(validation_test, id)
{
    expect_refused(body("\"g\"", "1", "\"a\"", ""), "id", "required");
    expect_refused(body("\"g\"", "1", "\"a\"", "12"), "id", "string");
    for (const char* bad : {"\"\"", "\"abc\"", "\"0b7a6a7e1c2d4e5f8a9b0c1d2e3f4a5b\"",
                            "\"0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5\"", "\"0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5bb\"",
                            "\"0b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5g\"", "\"{b7a6a7e-1c2d-4e5f-8a9b-0c1d2e3f4a5}\""})
        expect_refused(body("\"g\"", "1", "\"a\"", bad), "id", "UUID");
}

TEST_F(validation_test, body_as_a_whole)
{
    expect_refused("", "", "JSON");
    expect_refused("{\"game\":\"g\",", "", "JSON");
    expect_refused("[1,2]", "", "object");
    expect_refused("\"text\"", "", "object");
    expect_refused("{\"game\":\"g\"} trailing", "", "JSON");
    // Invalid UTF-8 is refused even in a member that is otherwise ignored.
    expect_refused(body("\"g\"", "1", "\"a\"", id).insert(1, "\"x\":\"\xc0\xaf\","), "", "UTF-8");
    expect_refused(body("\"g\"", "1", "\"\\ud800\"", id), "", "JSON");
    EXPECT_EQ(json_of(get(port, "/api/games")).at("games").as_array().size(), 0u);
}

using body_limits_test = ApiTest;

TEST_F(body_limits_test, body_up_to_the_limit_is_read_and_over_it_refused)
{
    const auto padded = [](std::size_t total, unsigned long long n) {
        const std::string head = R"({"game":"g","score":1,"name":"p","id":")" + uuid(n) + R"(","pad":")";
        return head + std::string(total - head.size() - 2, 'x') + "\"}";
    };
    const std::string at_limit = padded(4096, 1);
    ASSERT_EQ(at_limit.size(), 4096u);
    EXPECT_EQ(post_json(port, at_limit).result_int(), 201);
    const std::string over = padded(4097, 2);
    ASSERT_EQ(over.size(), 4097u);
    EXPECT_EQ(post_json(port, over).result_int(), 413);
}

TEST_F(body_limits_test, oversize_is_refused_from_the_header_before_the_body)
{
    // Only the header is sent: the answer must come without the body.
    const std::string reply = raw_exchange(port,
                                           "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                           "Content-Length: 10000000\r\n\r\n{\"game\":",
                                           false);
    EXPECT_EQ(reply.rfind("HTTP/1.1 413", 0), 0u) << reply;
}

TEST_F(body_limits_test, encodings_it_does_not_take)
{
    const std::string ok = R"({"game":"g","score":1,"name":"e","id":")" + uuid(5) + R"("})";
    struct Case {
        std::vector<std::pair<std::string, std::string>> headers;
        int status;
    };
    for (const auto& c : std::vector<Case>{
             {{{"Content-Encoding", "gzip"}}, 415},
             {{{"Content-Encoding", "deflate"}}, 415},
             {{{"Content-Type", "text/plain"}}, 415},
             {{{"Content-Type", "application/x-www-form-urlencoded"}}, 415},
             {{{"Content-Type", "application/json; charset=latin1"}}, 415},
             {{{"Content-Type", "application/jsonx"}}, 415},
         }) {
        const auto reply = post_json(port, ok, c.headers);
        EXPECT_EQ(reply.result_int(), c.status) << c.headers[0].first << ": " << c.headers[0].second;
        EXPECT_TRUE(json_of(reply).as_object().contains("error"));
    }
    // No Content-Type at all.
    const auto untyped = raw_exchange(port, "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                                std::to_string(ok.size()) + "\r\n\r\n" + ok);
    EXPECT_EQ(untyped.rfind("HTTP/1.1 415", 0), 0u) << untyped;
    const auto chunked = raw_exchange(port,
                                      "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                      "Transfer-Encoding: chunked\r\n\r\n5\r\n{\"a\":\r\n0\r\n\r\n");
    EXPECT_EQ(chunked.rfind("HTTP/1.1 411", 0), 0u) << chunked;
    const auto no_length = raw_exchange(port,
                                        "POST /api/scores HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                        "Connection: close\r\n\r\n");
    EXPECT_EQ(no_length.rfind("HTTP/1.1 411", 0), 0u) << no_length;
    EXPECT_EQ(post_json(port, ok, {{"Content-Encoding", "identity"}}).result_int(), 201);
}

using table_test = ApiTest;

TEST_F(table_test, best_first_ties_in_order_of_arrival_with_ranks_and_paging)
{
    const std::vector<std::pair<std::string, int>> posts{{"A", 50}, {"B", 70}, {"C", 50}, {"D", 70}, {"E", -5}};
    for (std::size_t i = 0; i < posts.size(); ++i)
        ASSERT_EQ(post_score(port, game, posts[i].second, posts[i].first, uuid(100 + i)).result_int(), 201);
    ASSERT_EQ(post_score(port, "Other", 999, "Z", uuid(200)).result_int(), 201);

    const auto all = table("game=Barnblast+V2");
    EXPECT_EQ(names_of(all), (std::vector<std::string>{"B", "D", "A", "C", "E"}));
    for (std::size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(all[i].at("rank"), i + 1);

    const auto page = table("game=Barnblast%20V2&limit=2&offset=1");
    EXPECT_EQ(names_of(page), (std::vector<std::string>{"D", "A"}));
    EXPECT_EQ(page[0].at("rank"), 2);
    EXPECT_EQ(page[1].at("rank"), 3);
    EXPECT_EQ(json_of(get(port, "/api/scores?game=Barnblast+V2&limit=2")).at("total"), 5);
    EXPECT_TRUE(table("game=Barnblast+V2&offset=5").empty());
    EXPECT_TRUE(table("game=Nobody").empty());

    const auto games = json_of(get(port, "/api/games")).at("games");
    EXPECT_EQ(games, json::parse(R"([{"game":"Barnblast V2","scores":5},{"game":"Other","scores":1}])"));
}

TEST_F(table_test, bad_queries_name_the_parameter)
{
    for (const auto& [query, field] : std::vector<std::pair<std::string, std::string>>{
             {"", "game"},
             {"limit=5", "game"},
             {"game=", "game"},
             {"game=g&limit=0", "limit"},
             {"game=g&limit=101", "limit"},
             {"game=g&limit=ten", "limit"},
             {"game=g&offset=-1", "offset"},
             {"game=g&offset=1x", "offset"},
             {"game=%zz", ""},
             {"game=%ff", "game"},
         }) {
        const auto reply = get(port, "/api/scores?" + query);
        EXPECT_EQ(reply.result_int(), 400) << query;
        const auto err = json_of(reply).as_object();
        EXPECT_EQ(err.contains("field") ? std::string(err.at("field").as_string()) : "", field) << query;
    }
    EXPECT_EQ(get(port, "/api/scores?game=g&limit=100").result_int(), 200);
}

TEST_F(table_test, unknown_paths_and_methods)
{
    EXPECT_EQ(get(port, "/api/nothing").result_int(), 404);
    const auto put = request(port, http::verb::put, "/api/scores", "{}");
    EXPECT_EQ(put.result_int(), 405);
    EXPECT_EQ(put[http::field::allow], "GET, HEAD, POST");
    EXPECT_EQ(request(port, http::verb::delete_, "/").result_int(), 405);
}

TEST(rate_limit_test, too_many_posts_from_one_address_get_429_with_retry_after)
{
    TempDir dir;
    ServerProcess server(dir.path() / "s.db", {"--rate-limit", "3"});
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(post_score(server.port(), game, i, "r", uuid(i)).result_int(), 201);
    const auto refused = post_score(server.port(), game, 9, "r", uuid(9));
    ASSERT_EQ(refused.result_int(), 429) << refused.body();
    // Three a minute: the next token comes in 20 s.
    const int after = std::stoi(std::string(refused[http::field::retry_after]));
    EXPECT_GE(after, 1);
    EXPECT_LE(after, 20);
    EXPECT_EQ(get(server.port(), "/api/scores?game=Barnblast+V2").result_int(), 200);  // reads are not limited
    EXPECT_EQ(json_of(get(server.port(), "/api/scores?game=Barnblast+V2")).at("total"), 3);
}

TEST(rate_limit_test, behind_a_proxy_each_real_address_has_its_own_allowance)
{
    TempDir dir;
    ServerProcess server(dir.path() / "s.db", {"--rate-limit", "1", "--trust-proxy"});
    const auto post_from = [&](const char* ip, unsigned long long n) {
        return post_json(server.port(),
                         R"({"game":"g","score":1,"name":"p","id":")" + uuid(n) + R"("})", {{"X-Real-IP", ip}})
            .result_int();
    };
    EXPECT_EQ(post_from("192.0.2.1", 1), 201);
    EXPECT_EQ(post_from("192.0.2.2", 2), 201);
    EXPECT_EQ(post_from("192.0.2.1", 3), 429);
}

TEST(rate_limit_test, zero_turns_it_off)
{
    TempDir dir;
    ServerProcess server(dir.path() / "s.db", {"--rate-limit", "0"});
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(post_score(server.port(), game, i, "r", uuid(i)).result_int(), 201);
}
