#include "network/copy_format.h"

#include <strings.h>

#include <cctype>
#include <cstring>

#include "network/pg_wire.h"
#include "sql/pg_strings.h"
#include "sql/sql_lexer.h"

namespace qx {
namespace pg {
namespace {

// A COPY statement's tokens; a query in parentheses is kept as written.
using Word = SqlToken;

bool is_name(const Word &w) { return w.kind == Word::word || w.kind == Word::quoted_name; }

// Where the parenthesis that opens at `open` closes (strings and names passed over).
size_t closing(const std::vector<Word> &w, size_t open) {
    int depth = 0;
    for (size_t k = open; k < w.size(); ++k) {
        if (w[k].is_punct('(')) ++depth;
        if (w[k].is_punct(')') && --depth == 0) return k;
    }
    return std::string::npos;
}

SqlError syntax_error(const std::vector<Word> &w, size_t at) {
    return {"42601", "",
            at < w.size() ? "syntax error at or near \"" + w[at].text + "\"" : "syntax error at end of input"};
}

bool one_character(const Word &value, std::string option, char *out, SqlError *error) {
    for (char &ch : option) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (value.kind != Word::string || value.text.size() != 1) {
        *error = {"22023", "", "COPY " + option + " must be a single one-byte character"};
        return false;
    }
    *out = value.text[0];
    return true;
}

// One option of the list in parentheses, or of the older form without them.
bool option(const std::vector<Word> &w, size_t *at, CopyCommand *c, SqlError *error) {
    const Word &name = w[*at];
    auto value = [&](size_t k) -> const Word * {
        if (k < w.size() && w[k].is("AS")) ++k;
        return k < w.size() ? &w[k] : nullptr;
    };
    const Word *v = value(*at + 1);
    auto taken = [&](const Word *given) {
        *at = static_cast<size_t>(given - w.data()) + 1;
        return true;
    };
    if (name.is("FORMAT") && v) {
        if (v->is("binary") || (v->kind == Word::string && strcasecmp(v->text.c_str(), "binary") == 0)) {
            c->binary = true;
            return taken(v);
        }
        bool csv = v->is("csv") || (v->kind == Word::string && strcasecmp(v->text.c_str(), "csv") == 0);
        bool text = v->is("text") || (v->kind == Word::string && strcasecmp(v->text.c_str(), "text") == 0);
        if (!csv && !text) {
            *error = {"22023", "", "COPY format \"" + v->text + "\" not recognized"};
            return false;
        }
        c->csv = csv;
        return taken(v);
    }
    if (name.is("BINARY")) {
        c->binary = true;
        ++*at;
        return true;
    }
    if (name.is("CSV")) {
        c->csv = true;
        ++*at;
        return true;
    }
    if (name.is("HEADER")) {
        // HEADER alone, or with a Boolean in the list form.
        c->header = true;
        ++*at;
        if (*at < w.size() && (w[*at].is("true") || w[*at].is("on") || w[*at].is("false") || w[*at].is("off") ||
                               w[*at].text == "1" || w[*at].text == "0")) {
            c->header = w[*at].is("true") || w[*at].is("on") || w[*at].text == "1";
            ++*at;
        }
        return true;
    }
    if (name.is("FREEZE")) {
        // FREEZE alone, or with a Boolean: a hint to PostgreSQL's vacuum, which SQLite's
        // rows do not need; the rows go in as they come.
        ++*at;
        if (*at < w.size() && (w[*at].is("true") || w[*at].is("on") || w[*at].is("false") || w[*at].is("off") ||
                               w[*at].text == "1" || w[*at].text == "0"))
            ++*at;
        return true;
    }
    if ((name.is("DELIMITER") || name.is("QUOTE") || name.is("ESCAPE")) && v) {
        char *target = name.is("DELIMITER") ? &c->delimiter : name.is("QUOTE") ? &c->quote : &c->escape;
        c->delimiter_given = c->delimiter_given || name.is("DELIMITER");
        if (!one_character(*v, name.text, target, error)) return false;
        return taken(v);
    }
    if (name.is("NULL") && v && v->kind == Word::string) {
        c->null_text = v->text;
        c->null_given = true;
        return taken(v);
    }
    if (name.is("ENCODING") && v && v->kind == Word::string) {
        std::string e = v->text;
        for (char &ch : e) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (e != "UTF8" && e != "UTF-8" && e != "UNICODE") {
            *error = {"22023", "", "COPY encoding \"" + v->text + "\" cannot be used: rows are read and written in UTF8"};
            return false;
        }
        return taken(v);
    }
    *error = {"0A000", "", "COPY option \"" + name.text + "\" is not supported"};
    return false;
}

}  // namespace

bool parse_copy(const std::string &sql, CopyCommand *c, SqlError *error) {
    std::vector<Word> w;
    size_t start = sql.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || strncasecmp(sql.c_str() + start, "copy", 4) != 0 ||
        std::isalnum(static_cast<unsigned char>(sql[start + 4])) || sql[start + 4] == '_')
        return false;
    if (!lex_sql(sql, &w)) {
        *error = {"42601", "", "unterminated quoted string in COPY"};
        return true;
    }
    while (!w.empty() && w.back().is_punct(';')) w.pop_back();
    size_t at = 1;
    if (at < w.size() && w[at].is_punct('(')) {
        size_t end = closing(w, at);
        if (end == std::string::npos) return *error = syntax_error(w, w.size()), true;
        // One statement: its rows are what goes out.
        for (size_t k = at + 1; k < end; ++k)
            if (w[k].is_punct(';')) return *error = syntax_error(w, k), true;
        c->query = sql.substr(w[at].at + 1, w[end].at - w[at].at - 1);
        at = end + 1;
    } else {
        // A table's name, perhaps qualified (DB.DBA.NAME), then its columns.
        if (at >= w.size() || !is_name(w[at])) return *error = syntax_error(w, at), true;
        size_t from = w[at].at;
        ++at;
        while (at + 1 < w.size() && w[at].is_punct('.') && is_name(w[at + 1])) at += 2;
        c->table = sql.substr(from, (at < w.size() ? w[at].at : sql.size()) - from);
        while (!c->table.empty() && std::isspace(static_cast<unsigned char>(c->table.back()))) c->table.pop_back();
        if (at < w.size() && w[at].is_punct('(')) {
            size_t end = closing(w, at);
            if (end == std::string::npos) return *error = syntax_error(w, w.size()), true;
            // Names, one comma between each two.
            for (size_t k = at + 1; k < end; ++k) {
                if ((k - at) % 2 ? !is_name(w[k]) : !w[k].is_punct(',')) return *error = syntax_error(w, k), true;
            }
            if ((end - at) % 2) return *error = syntax_error(w, end), true;
            c->columns = sql.substr(w[at].at, w[end].at - w[at].at + 1);
            at = end + 1;
        }
    }
    if (at >= w.size() || !(w[at].is("FROM") || w[at].is("TO"))) return *error = syntax_error(w, at), true;
    c->from_stdin = w[at].is("FROM");
    ++at;
    if (at < w.size() && (w[at].kind == Word::string || w[at].is("PROGRAM"))) {
        *error = {"42501", "",
                  "COPY to or from a file or a program is not allowed: use COPY ... FROM STDIN or TO STDOUT "
                  "(psql's \\copy reads and writes files on the client)"};
        return true;
    }
    if (at >= w.size() || !(c->from_stdin ? w[at].is("STDIN") : w[at].is("STDOUT")))
        return *error = syntax_error(w, at), true;
    if (c->from_stdin && !c->query.empty()) return *error = syntax_error(w, at - 1), true;
    ++at;
    if (at < w.size() && w[at].is("WITH")) ++at;
    bool list = at < w.size() && w[at].is_punct('(');
    size_t end = list ? closing(w, at) : w.size();
    if (end == std::string::npos) return *error = syntax_error(w, w.size()), true;
    if (list) ++at;
    while (at < end) {
        if (w[at].kind != Word::word) return *error = syntax_error(w, at), true;
        if (!option(w, &at, c, error)) return true;
        if (list && at < end && w[at].is_punct(',')) ++at;
    }
    if (list && end + 1 < w.size()) return *error = syntax_error(w, end + 1), true;
    if (c->binary && !c->from_stdin) {
        *error = {"0A000", "", "COPY TO in the binary format is not supported: use the text or CSV format"};
        return true;
    }
    if (c->csv) {
        // CSV's own defaults, where the statement gave none.
        if (!c->delimiter_given) c->delimiter = ',';
        if (!c->null_given) c->null_text = "";
    }
    if (c->delimiter == '\n' || c->delimiter == '\r' || (!c->csv && c->delimiter == '\\')) {
        *error = {"22023", "", "COPY delimiter cannot be newline, carriage return or backslash"};
        return true;
    }
    return true;
}

// The binary format: a signature, flags and a header extension, then each row as its
// number of fields and each field as its length (-1: NULL) and bytes, then -1.
bool CopyReader::binary_feed(const char *data, size_t size, SqlError *error) {
    static const char kSignature[] = "PGCOPY\n\377\r\n";  // and a NUL: 11 bytes
    buffer_.append(data, size);
    size_t at = 0;
    auto be = [&](size_t p, size_t width) { return static_cast<int64_t>(get_be(buffer_.data() + p, width)); };
    for (;;) {
        size_t left = buffer_.size() - at;
        if (!binary_header_done_) {
            if (left < 19) break;
            if (std::memcmp(buffer_.data() + at, kSignature, 11) != 0) {
                *error = {"22P04", "", "COPY file signature not recognized"};
                return false;
            }
            int64_t extension = be(at + 15, 4);
            if (left < 19 + static_cast<size_t>(extension)) break;
            at += 19 + static_cast<size_t>(extension);
            binary_header_done_ = true;
            continue;
        }
        if (left < 2) break;
        int16_t count = static_cast<int16_t>(be(at, 2));
        if (count == -1) {
            ended_ = true;
            break;
        }
        // The whole row must be here before it is read.
        size_t p = at + 2;
        bool whole = true;
        fields_.clear();
        for (int k = 0; k < count && whole; ++k) {
            if (buffer_.size() - p < 4) {
                whole = false;
                break;
            }
            int32_t length = static_cast<int32_t>(be(p, 4));
            p += 4;
            if (length < -1) {
                *error = {"22P04", "", "invalid field size " + std::to_string(length) + " (COPY row " +
                                           std::to_string(line_) + ")"};
                return false;
            }
            if (length == -1) {
                fields_.emplace_back();
                continue;
            }
            if (buffer_.size() - p < static_cast<size_t>(length)) {
                whole = false;
                break;
            }
            fields_.emplace_back(buffer_.substr(p, static_cast<size_t>(length)));
            p += static_cast<size_t>(length);
        }
        if (!whole) break;
        at = p;
        long line = line_++;
        bool ok = handler_(fields_, line, error);
        fields_.clear();
        if (!ok) return false;
    }
    buffer_.erase(0, at);
    if (buffer_.size() > kMaxCopyRow) {
        *error = {"54000", "", "COPY row " + std::to_string(line_) + " is longer than " +
                                   std::to_string(kMaxCopyRow) + " bytes"};
        return false;
    }
    return true;
}

bool CopyReader::feed(const char *data, size_t size, SqlError *error) {
    if (c_.binary) return ended_ || binary_feed(data, size, error);
    if (!started_) {
        started_ = true;
        header_pending_ = c_.header;
    }
    for (size_t i = 0; i < size && !ended_; ++i) {
        char ch = data[i];
        if (after_cr_) {
            after_cr_ = false;
            if (ch == '\n') continue;
        }
        if (++row_bytes_ > kMaxCopyRow) {
            *error = {"54000", "", "COPY row " + std::to_string(line_) + " is longer than " +
                                       std::to_string(kMaxCopyRow) + " bytes"};
            return false;
        }
        if (!(c_.csv ? csv_byte(ch, error) : text_byte(ch, error))) return false;
    }
    return true;
}

bool CopyReader::finish(SqlError *error) {
    if (ended_) return true;
    if (c_.binary) {
        // Data may end after a whole row without the -1 that marks its end.
        if (binary_header_done_ && buffer_.empty()) return true;
        *error = {"22P04", "", "unexpected end of COPY data (row " + std::to_string(line_) + ")"};
        return false;
    }
    if (in_quotes_ && escaping_ && c_.escape == c_.quote) in_quotes_ = escaping_ = false;  // a closing quote
    if (in_quotes_) {
        *error = {"22P04", "", "unterminated CSV quoted field (line " + std::to_string(line_) + ")"};
        return false;
    }
    if (escaping_ && !c_.csv) {  // a backslash at the very end stands for itself
        field_ += '\\';
        escaping_ = false;
    }
    if (!field_.empty() || !fields_.empty() || quoted_) return row_ends(error);
    return true;
}

namespace {

// A text-format field as written: its backslash escapes read.
std::string unescape(const std::string &raw) {
    std::string out;
    for (size_t k = 0; k < raw.size(); ++k) {
        if (raw[k] != '\\' || k + 1 >= raw.size()) {
            out += raw[k];
            continue;
        }
        size_t after = k + 1;
        if (read_byte_escape(raw, &after, &out)) {
            k = after - 1;
            continue;
        }
        k = after;
        out += raw[k] == 'v' ? '\v' : raw[k];  // any other character stands for itself
    }
    return out;
}

}  // namespace

// The field that has just ended. Text: NULL is compared with the field as written, then
// its escapes are read. CSV: NULL is an unquoted field equal to NULL's text.
void CopyReader::end_field() {
    if (c_.csv) {
        fields_.push_back(!quoted_ && field_ == c_.null_text ? CopyField() : CopyField(field_));
    } else {
        last_raw_ = field_;
        fields_.push_back(field_ == c_.null_text ? CopyField() : CopyField(unescape(field_)));
    }
    field_.clear();
    quoted_ = false;
}

// The row that has just ended (a header and the end-of-data marker "\." are none).
bool CopyReader::row_ends(SqlError *error) {
    end_field();
    row_bytes_ = 0;
    long line = line_++;
    bool marker = fields_.size() == 1 && (c_.csv ? fields_[0] && *fields_[0] == "\\." : last_raw_ == "\\.");
    if (marker) {
        ended_ = true;
    } else if (header_pending_) {
        header_pending_ = false;
    } else if (!handler_(fields_, line, error)) {
        fields_.clear();
        return false;
    }
    fields_.clear();
    return true;
}

// The text format: fields between delimiters, backslash escapes, rows that end in LF,
// CR or CR LF.
bool CopyReader::text_byte(char ch, SqlError *error) {
    if (escaping_) {
        escaping_ = false;
        field_ += '\\';
        field_ += ch;
        return true;
    }
    if (ch == '\\') {
        escaping_ = true;
        return true;
    }
    return unquoted_byte(ch, error);
}

// A byte outside quotes and escapes: it ends the field or the row, or is part of the field.
bool CopyReader::unquoted_byte(char ch, SqlError *error) {
    if (ch == c_.delimiter) {
        end_field();
    } else if (ch == '\n' || ch == '\r') {
        after_cr_ = ch == '\r';
        return row_ends(error);
    } else {
        field_ += ch;
    }
    return true;
}

// CSV: a field in quotes may hold delimiters, quotes (escaped) and newlines.
bool CopyReader::csv_byte(char ch, SqlError *error) {
    if (in_quotes_) {
        if (escaping_) {
            escaping_ = false;
            if (ch == c_.quote || ch == c_.escape) {
                field_ += ch;
                return true;
            }
            if (c_.escape == c_.quote) {
                in_quotes_ = false;  // it was the closing quote
            } else {
                field_ += c_.escape;  // an escape before anything else stands for itself
            }
            return csv_byte(ch, error);
        }
        if (ch == c_.escape) {
            escaping_ = true;  // with the default escape: a doubled quote, or the closing one
        } else if (ch == c_.quote) {
            in_quotes_ = false;
        } else {
            if (ch == '\n') ++line_;
            field_ += ch;
        }
        return true;
    }
    if (ch == c_.quote) {
        in_quotes_ = quoted_ = true;
        return true;
    }
    return unquoted_byte(ch, error);
}

void append_copy_row(std::string &out, const CopyCommand &c, const std::vector<CopyField> &fields) {
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) out += c.delimiter;
        if (!fields[i]) {
            out += c.null_text;
            continue;
        }
        const std::string &v = *fields[i];
        if (c.csv) {
            // Quoted when it holds what would end or start a field, or reads as NULL.
            bool quote = v == c.null_text || v == "\\." || v.find(c.delimiter) != std::string::npos ||
                         v.find(c.quote) != std::string::npos || v.find('\n') != std::string::npos ||
                         v.find('\r') != std::string::npos || v.find(c.escape) != std::string::npos;
            if (!quote) {
                out += v;
                continue;
            }
            out += c.quote;
            for (char ch : v) {
                if (ch == c.quote || ch == c.escape) out += c.escape;
                out += ch;
            }
            out += c.quote;
            continue;
        }
        for (char ch : v) {
            switch (ch) {
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += c.delimiter == '\t' ? "\\t" : "\t"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                case '\v': out += "\\v"; break;
                default:
                    if (ch == c.delimiter) out += '\\';
                    out += ch;
            }
        }
    }
    out += '\n';
}

}  // namespace pg
}  // namespace qx
