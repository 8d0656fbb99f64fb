// Checked reading of a world file's JSON (WorldJson.h): messages, paths, and the first pass over the text.

#include "WorldJson.h"

#include <set>
#include <string>
#include <vector>

namespace platform::sim::world_json {

// Cuts a text for a message to `limit` bytes, marking the cut.
std::string cutText(std::string text, std::size_t limit) {
    if (text.size() > limit) {
        text.resize(limit);
        text += "...";
    }
    return text;
}

// A text for a message: quoted, control characters escaped, long texts cut, always one line.
std::string quote(std::string_view text) {
    std::string cut(text);
    bool truncated = false;
    if (cut.size() > kMaxQuoted) {
        std::size_t end = kMaxQuoted;
        // Do not split a UTF-8 sequence.
        while (end > 0 && (static_cast<unsigned char>(cut[end]) & 0xC0) == 0x80)
            --end;
        cut.resize(end);
        truncated = true;
    }
    std::string out = Json(cut).dump(-1, ' ', false, Json::error_handler_t::replace);
    if (truncated)
        out.insert(out.size() - 1, "...");
    return out;
}

bool isIdentifierKey(std::string_view key) {
    if (key.empty())
        return false;
    for (char c : key) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

std::string childPath(const std::string& path, std::string_view key) {
    // A long name is quoted, and so cut: a message stays one readable line.
    if (isIdentifierKey(key) && key.size() <= kMaxQuoted)
        return path + "." + std::string(key);
    return path + "[" + quote(key) + "]";
}

std::string childPath(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

std::string joined(std::initializer_list<const char*> words) {
    std::string out;
    for (const char* w : words) {
        if (!out.empty())
            out += ", ";
        out += w;
    }
    return out;
}

std::string describe(const Json& v) {
    switch (v.type()) {
        case Json::value_t::null:
            return "null";
        case Json::value_t::boolean:
            return "a boolean";
        case Json::value_t::string:
            return "a string";
        case Json::value_t::array:
            return "an array";
        case Json::value_t::object:
            return "an object";
        case Json::value_t::number_float:
            return "a non-integer number";
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
            return "an integer";
        default:
            return "an invalid value";
    }
}

namespace {

// A first pass over the text, event by event: finds keys given twice in one object (the document
// would keep only the last, silently) and notes where integers too large for 64 bits stand (the
// document keeps them as floating point, which would be reported as a fraction). Syntax errors are
// thrown as the JSON library's own.
class TextCheck : public nlohmann::json_sax<Json> {
  public:
    explicit TextCheck(const JsonReader& parser) : parser_(parser) {}

    BigIntegers takeBigIntegers() { return std::move(big_); }

    bool null() override { return enterValue(); }
    bool boolean(bool) override { return enterValue(); }
    bool number_integer(number_integer_t) override { return enterValue(); }
    bool number_unsigned(number_unsigned_t) override { return enterValue(); }
    bool number_float(number_float_t, const string_t& text) override {
        enterValue();
        if (text.find_first_of(".eE") == std::string::npos)
            big_.emplace(path(), cutText(text, kMaxQuoted));
        return true;
    }
    bool string(string_t&) override { return enterValue(); }
    bool binary(binary_t&) override { return enterValue(); }
    bool start_object(std::size_t) override {
        enterValue();
        frames_.push_back(Frame{true, 0, {}, {}});
        return true;
    }
    bool key(string_t& key) override {
        Frame& f = frames_.back();
        f.key = key;
        if (!f.keys.insert(f.key).second)
            parser_.fail(path(), "duplicate key");
        return true;
    }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override {
        enterValue();
        frames_.push_back(Frame{false, 0, {}, {}});
        return true;
    }
    bool end_array() override { return leave(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
        if (const auto* syntax = dynamic_cast<const Json::parse_error*>(&e))
            throw *syntax;
        if (const auto* range = dynamic_cast<const Json::out_of_range*>(&e))
            throw *range;
        parser_.fail("$", cutText(std::string("not valid JSON: ") + e.what(), 200));
    }

  private:
    struct Frame {
        bool object;
        std::size_t next_index;
        std::string key;
        std::set<std::string> keys;
    };

    // Counts array elements so that a place deep inside an array can be named.
    bool enterValue() {
        if (!frames_.empty() && !frames_.back().object)
            ++frames_.back().next_index;
        return true;
    }

    bool leave() {
        if (!frames_.empty())
            frames_.pop_back();
        return true;
    }

    std::string path() const {
        std::string p = "$";
        for (const Frame& f : frames_)
            p = f.object ? childPath(p, f.key) : childPath(p, f.next_index - 1);
        return p;
    }

    const JsonReader& parser_;
    std::vector<Frame> frames_;
    BigIntegers big_;
};

std::string syntaxProblem(const nlohmann::json::parse_error& e) {
    // The library's text is "[json.exception.parse_error.N] parse error at line L, column C: ...".
    std::string detail = e.what();
    const auto bracket = detail.find("] ");
    if (bracket != std::string::npos)
        detail.erase(0, bracket + 2);
    constexpr std::size_t kMaxDetail = 200;
    if (detail.size() > kMaxDetail)
        detail = detail.substr(0, kMaxDetail) + "...";
    // A token quoted in the text may carry raw bytes; keep the message on one line.
    for (char& c : detail)
        if (c == '\n' || c == '\r')
            c = ' ';
    return "not valid JSON (byte " + std::to_string(e.byte) + "): " + detail;
}

}  // namespace

Json parseChecked(std::string_view json, JsonReader& reader) {
    // The JSON library takes a NUL byte for the end of the text, which would silently drop the rest.
    if (const auto nul = json.find('\0'); nul != std::string_view::npos)
        reader.fail("$", "not valid JSON (byte " + std::to_string(nul + 1) + "): a NUL byte");
    Json root;
    try {
        TextCheck check(reader);
        Json::sax_parse(json.data(), json.data() + json.size(), &check);
        reader.setBigIntegers(check.takeBigIntegers());
        root = Json::parse(json.data(), json.data() + json.size());
    } catch (const nlohmann::json::parse_error& e) {
        reader.fail("$", syntaxProblem(e));
    } catch (const nlohmann::json::exception& e) {
        reader.fail("$", cutText(std::string("not valid JSON: ") + e.what(), 200));
    }
    return root;
}

}  // namespace platform::sim::world_json
