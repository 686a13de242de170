// The score table's API description (scoreboard/http/openapi.json) held up
// against what the server answers: the status, the headers it requires, the
// content type and, for JSON, the body against the response's schema. The
// schema check knows the keywords the description uses, and reports any
// other as unchecked rather than pass it over.
#pragma once

#include <boost/json.hpp>

#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

class OpenApiCheck {
public:
    // Reads the description; throws if it is not there or not JSON.
    explicit OpenApiCheck(const std::string& path);

    // An answer as received, whoever parsed it (AnswerOf below).
    struct Answer {
        int status = 0;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        const std::string* Header(std::string_view name) const;  // any case; null when absent
    };

    const boost::json::object& Document() const { return doc_.as_object(); }

    // What in `reply` to `method target` the description does not allow;
    // empty when all agrees, or when no path of the description matches.
    // `method` in capitals, as on the wire.
    std::vector<std::string> Problems(std::string_view method, std::string_view target, const Answer& reply) const;

    // Where `value` breaks `schema` (a schema of the description, or a
    // $ref into it); `at` names the value in the problems.
    std::vector<std::string> SchemaProblems(const boost::json::value& value, const boost::json::value& schema,
                                            const std::string& at = "body") const;

private:
    const boost::json::value& Resolved(const boost::json::value& v) const;
    void Check(const boost::json::value& value, const boost::json::value& schema, const std::string& at,
               std::vector<std::string>& problems) const;
    void CheckHeaders(const boost::json::object& response, const Answer& reply,
                      std::vector<std::string>& problems) const;

    boost::json::value doc_;
    std::map<std::string, std::regex> patterns_;  // compiled once, read by any thread
};

// The described answer of an HTTP response of Beast's (a template, so that it
// is built with the caller's Beast settings).
template <class Response>
OpenApiCheck::Answer AnswerOf(const Response& res) {
    OpenApiCheck::Answer answer{static_cast<int>(res.result_int()), {}, res.body()};
    for (const auto& field : res)
        answer.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    return answer;
}

// The score table's description, scoreboard/http/openapi.json, read once.
const OpenApiCheck& ScoreTableDescription();

}  // namespace testsupport
