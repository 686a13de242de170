#include "OpenApiCheck.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace json = boost::json;

namespace {

// Gathers every "pattern" of the schemas, to compile each once.
void CollectPatterns(const json::value& v, std::map<std::string, std::regex>& out) {
    if (const auto* o = v.if_object()) {
        for (const auto& [key, member] : *o) {
            if (key == "pattern" && member.is_string()) {
                const std::string p(member.get_string());
                out.emplace(p, std::regex(p, std::regex::ECMAScript));
            }
            CollectPatterns(member, out);
        }
    } else if (const auto* a = v.if_array()) {
        for (const auto& item : *a) CollectPatterns(item, out);
    }
}

std::vector<std::string_view> Segments(std::string_view path) {
    std::vector<std::string_view> out;
    path.remove_prefix(std::min<std::size_t>(1, path.size()));
    for (std::size_t slash = 0; slash != std::string_view::npos; path.remove_prefix(slash + 1)) {
        slash = path.find('/');
        out.push_back(path.substr(0, slash));
        if (slash == std::string_view::npos) break;
    }
    return out;
}

// The path item whose template matches `path`: {name} stands for one
// non-empty segment.
const json::object* MatchPath(const json::object& paths, std::string_view path) {
    const auto asked = Segments(path);
    for (const auto& [key, item] : paths) {
        const auto tmpl = Segments(key);
        if (tmpl.size() != asked.size()) continue;
        bool match = true;
        for (std::size_t i = 0; i < tmpl.size() && match; ++i)
            match = tmpl[i].starts_with('{') ? !asked[i].empty() : tmpl[i] == asked[i];
        if (match) return &item.as_object();
    }
    return nullptr;
}

std::string_view TypeOf(const json::value& v) {
    switch (v.kind()) {
        case json::kind::null: return "null";
        case json::kind::bool_: return "boolean";
        case json::kind::int64:
        case json::kind::uint64: return "integer";
        case json::kind::double_: return "number";
        case json::kind::string: return "string";
        case json::kind::array: return "array";
        case json::kind::object: return "object";
    }
    return "?";
}

bool HasType(const json::value& v, std::string_view type) {
    const std::string_view actual = TypeOf(v);
    return actual == type || (type == "number" && actual == "integer");
}

std::size_t CodePoints(std::string_view s) {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Keywords that say nothing a value could break.
const std::set<std::string> kAnnotations{"description", "default", "examples", "format", "title"};

}  // namespace

OpenApiCheck::OpenApiCheck(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::stringstream text;
    text << in.rdbuf();
    doc_ = json::parse(text.str());
    if (!doc_.is_object()) throw std::runtime_error(path + " is not a JSON object");
    CollectPatterns(doc_, patterns_);
}

const json::value& OpenApiCheck::Resolved(const json::value& v) const {
    const json::value* at = &v;
    while (at->is_object() && at->as_object().contains("$ref")) {
        const std::string_view ref = at->as_object().at("$ref").as_string();
        if (!ref.starts_with("#/")) throw std::runtime_error("a $ref outside the description: " + std::string(ref));
        at = &doc_.at_pointer(ref.substr(1));
    }
    return *at;
}

std::vector<std::string> OpenApiCheck::SchemaProblems(const json::value& value, const json::value& schema,
                                                      const std::string& at) const {
    std::vector<std::string> problems;
    Check(value, schema, at, problems);
    return problems;
}

void OpenApiCheck::Check(const json::value& value, const json::value& schemaRef, const std::string& at,
                         std::vector<std::string>& problems) const {
    const json::object& schema = Resolved(schemaRef).as_object();
    const auto fail = [&](const std::string& why) { problems.push_back(at + ": " + why); };
    for (const auto& [key, rule] : schema) {
        if (key == "type") {
            const json::array types = rule.is_array() ? rule.as_array() : json::array{rule};
            if (std::none_of(types.begin(), types.end(),
                             [&](const json::value& t) { return HasType(value, t.as_string()); }))
                return fail("is " + std::string(TypeOf(value)) + ", not " + json::serialize(rule));
        } else if (key == "enum") {
            const auto& options = rule.as_array();
            if (std::find(options.begin(), options.end(), value) == options.end())
                fail(json::serialize(value) + " is none of " + json::serialize(rule));
        } else if (key == "minimum" || key == "maximum") {
            if (!value.is_number()) continue;
            const double v = value.to_number<double>(), limit = rule.to_number<double>();
            if (key == "minimum" ? v < limit : v > limit)
                fail(json::serialize(value) + " is past " + std::string(key) + " " + json::serialize(rule));
        } else if (key == "minLength" || key == "maxLength") {
            if (!value.is_string()) continue;
            const std::size_t n = CodePoints(value.as_string()), limit = rule.to_number<std::size_t>();
            if (key == "minLength" ? n < limit : n > limit)
                fail(std::to_string(n) + " characters, past " + std::string(key));
        } else if (key == "pattern") {
            if (!value.is_string()) continue;
            const std::string text(value.as_string());
            if (!std::regex_search(text, patterns_.at(std::string(rule.as_string()))))
                fail("\"" + text + "\" does not match " + std::string(rule.as_string()));
        } else if (key == "required") {
            if (!value.is_object()) continue;
            for (const auto& name : rule.as_array())
                if (!value.as_object().contains(name.as_string()))
                    fail("lacks \"" + std::string(name.as_string()) + "\"");
        } else if (key == "properties") {
            if (!value.is_object()) continue;
            for (const auto& [name, member] : value.as_object())
                if (const auto* sub = rule.as_object().if_contains(name))
                    Check(member, *sub, at + "." + std::string(name), problems);
        } else if (key == "additionalProperties") {
            if (!value.is_object()) continue;
            if (!rule.is_bool() || rule.as_bool()) {
                if (!rule.is_bool()) fail("additionalProperties as a schema is not checked");
                continue;
            }
            const auto* known = schema.if_contains("properties");
            for (const auto& [name, member] : value.as_object())
                if (!known || !known->as_object().contains(name))
                    fail("has \"" + std::string(name) + "\", which is not described");
        } else if (key == "items") {
            if (!value.is_array()) continue;
            const auto& items = value.as_array();
            for (std::size_t i = 0; i < items.size(); ++i)
                Check(items[i], rule, at + "[" + std::to_string(i) + "]", problems);
        } else if (!kAnnotations.contains(std::string(key))) {
            fail("the keyword \"" + std::string(key) + "\" is not checked");
        }
    }
}

const std::string* OpenApiCheck::Answer::Header(std::string_view name) const {
    const auto same = [name](const std::pair<std::string, std::string>& h) {
        return std::equal(h.first.begin(), h.first.end(), name.begin(), name.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
    };
    const auto found = std::find_if(headers.begin(), headers.end(), same);
    return found == headers.end() ? nullptr : &found->second;
}

void OpenApiCheck::CheckHeaders(const json::object& response, const Answer& reply,
                                std::vector<std::string>& problems) const {
    const auto* headers = response.if_contains("headers");
    if (!headers) return;
    for (const auto& [name, headerRef] : headers->as_object()) {
        const json::object& header = Resolved(headerRef).as_object();
        const std::string* found = reply.Header(name);
        if (!found) {
            if (const auto* required = header.if_contains("required"); required && required->as_bool())
                problems.push_back("lacks the header " + std::string(name));
            continue;
        }
        // A header holds text; an integer one is checked as the number it spells.
        const std::string& text = *found;
        json::value value(text);
        const auto& schema = Resolved(header.at("schema")).as_object();
        if (const auto* type = schema.if_contains("type"); type && *type == "integer") {
            json::error_code ec;
            const json::value number = json::parse(text, ec);
            if (!ec && number.is_int64()) value = number;
        }
        Check(value, schema, "header " + std::string(name), problems);
    }
}

std::vector<std::string> OpenApiCheck::Problems(std::string_view method, std::string_view target,
                                                const Answer& reply) const {
    const std::string_view path = target.substr(0, target.find('?'));
    const json::object* item = MatchPath(Document().at("paths").as_object(), path);
    if (!item) return {};
    std::vector<std::string> problems;
    const int status = reply.status;
    // HEAD is answered as GET is, without the body.
    const bool head = method == "HEAD";
    std::string name(head ? "GET" : method);
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    const json::value* response = nullptr;
    if (const auto* op = item->if_contains(name)) {
        response = op->as_object().at("responses").as_object().if_contains(std::to_string(status));
        if (!response) return {"status " + std::to_string(status) + " is not described"};
    } else {
        if (status != 405) return {"a method the path does not take answered " + std::to_string(status) + ", not 405"};
        response = &Document().at("x-other-methods");
        std::set<std::string> described, allowed;
        for (const auto& [key, op] : *item) {
            std::string upper(key);
            std::transform(upper.begin(), upper.end(), upper.begin(),
                           [](char c) { return static_cast<char>(std::toupper(c)); });
            described.insert(upper);
            if (upper == "GET") described.insert("HEAD");
        }
        const std::string allowHeader = reply.Header("Allow") ? *reply.Header("Allow") : "";
        std::stringstream allow{allowHeader};
        for (std::string m; std::getline(allow >> std::ws, m, ',');)
            allowed.insert(m.substr(0, m.find_last_not_of(' ') + 1));
        if (allowed != described) problems.push_back("Allow: " + allowHeader + " is not what the path takes");
    }
    const json::object& described = Resolved(*response).as_object();
    CheckHeaders(described, reply, problems);

    std::string media = reply.Header("Content-Type") ? *reply.Header("Content-Type") : "";
    media = media.substr(0, media.find(';'));
    const auto* content = described.if_contains("content");
    const json::value* type = content ? content->as_object().if_contains(media) : nullptr;
    if (!type) {
        if (content || !reply.body.empty()) problems.push_back("Content-Type " + media + " is not described");
        return problems;
    }
    if (head) {
        if (!reply.body.empty()) problems.push_back("a HEAD answer has a body");
        return problems;
    }
    if (media != "application/json") return problems;
    json::error_code ec;
    const json::value body = json::parse(reply.body, ec);
    if (ec)
        problems.push_back("the body is not JSON");
    else
        Check(body, type->as_object().at("schema"), "body", problems);
    return problems;
}

const OpenApiCheck& ScoreTableDescription() {
    static const OpenApiCheck kDescription(BARNBLAST_OPENAPI_JSON);
    return kDescription;
}

}  // namespace testsupport
