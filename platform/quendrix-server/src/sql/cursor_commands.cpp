// Reading DECLARE, FETCH and CLOSE: a few words each, names bare or quoted.
#include "sql/cursor_commands.h"

#include <cctype>
#include <cstdlib>

namespace {

class Words {
public:
    explicit Words(const std::string &s) : s_(s) {}

    void skip_blanks() {
        for (;;) {
            while (at_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[at_]))) ++at_;
            if (s_.compare(at_, 2, "--") == 0) {
                while (at_ < s_.size() && s_[at_] != '\n') ++at_;
            } else if (s_.compare(at_, 2, "/*") == 0) {
                size_t end = s_.find("*/", at_ + 2);
                at_ = end == std::string::npos ? s_.size() : end + 2;
            } else {
                return;
            }
        }
    }
    // The next bare word, upper-cased, without taking it.
    std::string peek() {
        skip_blanks();
        size_t i = at_;
        std::string w;
        while (i < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i])) || s_[i] == '_'))
            w += static_cast<char>(std::toupper(static_cast<unsigned char>(s_[i++])));
        return w;
    }
    bool take(const char *word) {
        std::string w = peek();
        if (w != word) return false;
        at_ += w.size();
        return true;
    }
    // A name: bare (folded to lower case) or double-quoted (kept as written).
    bool name(std::string *out) {
        skip_blanks();
        out->clear();
        if (at_ < s_.size() && s_[at_] == '"') {
            for (size_t i = at_ + 1; i < s_.size(); ++i) {
                if (s_[i] != '"') {
                    *out += s_[i];
                } else if (i + 1 < s_.size() && s_[i + 1] == '"') {
                    *out += '"';
                    ++i;
                } else {
                    at_ = i + 1;
                    return !out->empty();
                }
            }
            return false;
        }
        while (at_ < s_.size() &&
               (std::isalnum(static_cast<unsigned char>(s_[at_])) || s_[at_] == '_'))
            *out += static_cast<char>(std::tolower(static_cast<unsigned char>(s_[at_++])));
        return !out->empty() && !std::isdigit(static_cast<unsigned char>((*out)[0]));
    }
    // The rest of the text, without a trailing ';' and blanks.
    std::string rest() {
        skip_blanks();
        size_t end = s_.size();
        while (end > at_ && (std::isspace(static_cast<unsigned char>(s_[end - 1])) || s_[end - 1] == ';'))
            --end;
        return s_.substr(at_, end - at_);
    }
    bool at_end() { return rest().empty(); }

private:
    const std::string &s_;
    size_t at_ = 0;
};

qx::SqlError syntax(const std::string &what) { return {"42601", "", "syntax error: " + what}; }

}  // namespace

namespace qx {

bool parse_cursor_command(const std::string &sql, CursorCommand *command, SqlError *error) {
    *command = CursorCommand{};
    Words w(sql);
    if (w.take("DECLARE")) {
        command->kind = CursorCommand::declare;
        if (!w.name(&command->name)) return *error = syntax("expected a cursor name"), false;
        w.take("BINARY");
        if (w.take("INSENSITIVE") || w.take("ASENSITIVE")) {
        }
        if (w.take("SCROLL")) {
            *error = {"0A000", "", "scrollable cursors are not supported: use NO SCROLL"};
            return false;
        }
        if (w.take("NO") && !w.take("SCROLL")) return *error = syntax("expected NO SCROLL"), false;
        if (!w.take("CURSOR")) return *error = syntax("expected CURSOR"), false;
        if (w.take("WITH")) {
            if (!w.take("HOLD")) return *error = syntax("expected WITH HOLD"), false;
            command->hold = true;
        } else if (w.take("WITHOUT")) {
            if (!w.take("HOLD")) return *error = syntax("expected WITHOUT HOLD"), false;
        }
        if (!w.take("FOR")) return *error = syntax("expected FOR"), false;
        command->query = w.rest();
        if (command->query.empty()) return *error = syntax("expected a query after FOR"), false;
        return true;
    }
    if (w.take("FETCH")) {
        command->kind = CursorCommand::fetch;
        w.take("FORWARD");
        std::string count = w.peek();
        if (count == "ALL") {
            w.take("ALL");
            command->count = 0;
        } else if (count == "NEXT") {
            w.take("NEXT");
        } else if (!count.empty() && std::isdigit(static_cast<unsigned char>(count[0]))) {
            char *end = nullptr;
            command->count = std::strtol(count.c_str(), &end, 10);
            if (*end || command->count < 0) return *error = syntax("bad row count"), false;
            w.take(count.c_str());
            if (command->count == 0) {
                *error = {"0A000", "", "FETCH 0 is not supported: the cursor cannot go back"};
                return false;
            }
        }
        if (!w.take("FROM")) w.take("IN");
        if (!w.name(&command->name) || !w.at_end())
            return *error = syntax("expected FETCH [FORWARD] [count] FROM name"), false;
        return true;
    }
    if (w.take("CLOSE")) {
        command->kind = CursorCommand::close;
        if (w.peek() == "ALL") {
            w.take("ALL");
        } else if (!w.name(&command->name)) {
            return *error = syntax("expected CLOSE name"), false;
        }
        if (!w.at_end()) return *error = syntax("expected CLOSE name"), false;
        return true;
    }
    return true;
}

}  // namespace qx
