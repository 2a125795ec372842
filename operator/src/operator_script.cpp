// The scripted operator: plays a file of actions line by line and stops the
// run with a clear message as soon as the program shows something the script
// did not expect. The language is described in docs/operator-script.md.
#include "operator_script.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "wince/host.h"
#include "operator/operators.h"

namespace wince::script {

namespace {

struct Token {
    std::string text;
    bool quoted = false;
};

// Splits a line into words and "quoted texts" ("" inside quotes is one
// quote); a # outside quotes starts a comment.
std::vector<Token> tokenize(const std::string &line, std::string &error) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            Token t;
            t.quoted = true;
            ++i;
            for (;;) {
                if (i >= line.size()) {
                    error = "a quoted text has no closing quote";
                    return {};
                }
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        t.text += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                t.text += line[i++];
            }
            tokens.push_back(std::move(t));
        } else {
            Token t;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '"')
                t.text += line[i++];
            tokens.push_back(std::move(t));
        }
    }
    return tokens;
}

bool controlNumber(const Token &t, int &id) {
    if (t.quoted || t.text.empty() || t.text.size() > 5) return false;
    int value = 0;
    for (char c : t.text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > 0xFFFF) return false;
    id = value;
    return true;
}

bool seconds(const Token &t, double &out) {
    if (t.quoted || t.text.empty()) return false;
    char *end = nullptr;
    const double v = std::strtod(t.text.c_str(), &end);
    if (end == nullptr || *end != 0 || !(v > 0) || v > 86400) return false;
    out = v;
    return true;
}

std::string trimmed(const std::string &line) {
    const size_t b = line.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const size_t e = line.find_last_not_of(" \t\r");
    return line.substr(b, e - b + 1);
}

// The statement on one line, or an error saying what is wrong with it.
std::optional<Statement> statement(const std::vector<Token> &t, std::string &error) {
    Statement s;
    const size_t n = t.size();
    auto quoted = [&](size_t i) { return i < n && t[i].quoted; };
    const std::string &word = t[0].text;
    if (t[0].quoted) {
        error = "a line starts with a statement, not a quoted text";
        return std::nullopt;
    }
    if (word == "wait") {
        if (n == 3 && t[1].text == "dialog" && !t[1].quoted && quoted(2)) {
            s.kind = Statement::WaitDialog;
            s.text = toUtf16(t[2].text);
            return s;
        }
        if (n == 4 && t[1].text == "text" && !t[1].quoted && controlNumber(t[2], s.controlId) && quoted(3)) {
            s.kind = Statement::WaitText;
            s.text = toUtf16(t[3].text);
            return s;
        }
        error = "`wait` takes `dialog \"CAPTION\"` or `text ID \"PATTERN\"`";
        return std::nullopt;
    }
    if (word == "press") {
        s.kind = Statement::Press;
        if (n == 2 && quoted(1)) {
            s.hasText = true;
            s.text = toUtf16(t[1].text);
            return s;
        }
        if (n == 2 && controlNumber(t[1], s.controlId)) return s;
        error = "`press` takes a control number or a \"button text\"";
        return std::nullopt;
    }
    if (word == "choose") {
        if (n == 2 && quoted(1)) {
            s.kind = Statement::Choose;
            s.text = toUtf16(t[1].text);
            return s;
        }
        error = "`choose` takes a \"\\path\\on\\the\\board\"";
        return std::nullopt;
    }
    if (word == "dismiss") {
        s.kind = Statement::Dismiss;
        if (n > 3 || (n >= 2 && !quoted(1)) || (n == 3 && !quoted(2))) {
            error = "`dismiss` takes nothing, a \"TEXT\" or a \"TEXT\" and a \"CAPTION\"";
            return std::nullopt;
        }
        if (n >= 2) {
            s.hasText = true;
            s.text = toUtf16(t[1].text);
        }
        if (n == 3) {
            s.hasCaption = true;
            s.caption = toUtf16(t[2].text);
        }
        return s;
    }
    if (word == "timeout") {
        if (n == 2 && seconds(t[1], s.seconds)) {
            s.kind = Statement::Timeout;
            return s;
        }
        error = "`timeout` takes a number of seconds above 0";
        return std::nullopt;
    }
    const struct {
        const char *word;
        Statement::Kind kind;
    } bare[] = {{"close", Statement::Close}, {"accept", Statement::Accept}, {"cancel", Statement::Cancel}};
    for (const auto &b : bare) {
        if (word != b.word) continue;
        if (n != 1) {
            error = "`" + word + "` takes nothing more";
            return std::nullopt;
        }
        s.kind = b.kind;
        return s;
    }
    error = "unknown statement `" + word + "`";
    return std::nullopt;
}

}  // namespace

std::vector<Statement> parse(const std::string &text, const std::string &name) {
    std::vector<Statement> out;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string error;
        const auto tokens = tokenize(line, error);
        std::optional<Statement> s;
        if (error.empty() && !tokens.empty()) s = statement(tokens, error);
        if (!error.empty())
            throw std::runtime_error("script " + name + " line " + std::to_string(number) + ": " + error);
        if (!s) continue;  // blank or comment
        s->line = number;
        s->source = trimmed(line);
        out.push_back(std::move(*s));
    }
    return out;
}

bool wildcardMatch(const std::u16string &pattern, const std::u16string &text) {
    // Greedy match with backtracking to the last star.
    size_t p = 0, t = 0, star = std::u16string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            mark = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::u16string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

namespace {

std::string quote(const std::u16string &s) { return "\"" + toUtf8(s) + "\""; }

std::string secondsText(double s) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", s);
    return buffer;
}

std::string describe(const MessageBoxView &box) {
    return "message box " + quote(box.text) + " (caption " + quote(box.caption) + ")";
}

std::string describe(const FileOpenView &request) {
    std::string s = "the file-open dialog";
    if (!request.filters.empty()) {
        s += " (";
        for (size_t i = 0; i < request.filters.size(); ++i) {
            if (i > 0) s += ", ";
            s += quote(request.filters[i].first) + " " + toUtf8(request.filters[i].second);
        }
        s += ")";
    }
    return s;
}

bool isButton(const ControlView &c) {
    std::u16string upper;
    for (char16_t ch : c.className) upper += (ch >= u'a' && ch <= u'z') ? static_cast<char16_t>(ch - 32) : ch;
    return upper == u"BUTTON";
}

// What changes when the program changes anything a person could see.
std::u16string signature(const DialogView &view) {
    std::u16string s = view.caption;
    for (const auto &c : view.controls) {
        s += u'\x01';
        s += toUtf16(std::to_string(c.id) + ":" + std::to_string(c.pos) + ":" + std::to_string(c.rangeMin) + ":" +
                     std::to_string(c.rangeMax) + ":");
        s += c.text;
    }
    return s;
}

class ScriptOperator : public Operator {
  public:
    explicit ScriptOperator(std::vector<Statement> lines) : lines_(std::move(lines)), lastChange_(Clock::now()) {}

    Action onDialog(const DialogView &front) override {
        std::lock_guard<std::mutex> lock(mutex_);
        note(front);
        for (;;) {
            if (next_ == lines_.size()) {
                if (quiet())
                    fail("script: the script has ended but the program still shows dialog " + quote(front.caption) +
                         " (nothing changed for " + secondsText(timeout_) + " s)");
                return {};
            }
            const Statement &s = lines_[next_];
            switch (s.kind) {
            case Statement::Timeout:
                timeout_ = s.seconds;
                advance();
                continue;
            case Statement::WaitDialog:
                if (front.caption == s.text) {
                    advance();
                    continue;
                }
                if (quiet())
                    fail(at(s) + "waited " + secondsText(timeout_) + " s for dialog " + quote(s.text) +
                         "; the program shows dialog " + quote(front.caption));
                return {};
            case Statement::WaitText: {
                const ControlView *c = front.find(s.controlId);
                if (c != nullptr && wildcardMatch(s.text, c->text)) {
                    advance();
                    continue;
                }
                if (quiet()) {
                    if (c == nullptr)
                        fail(at(s) + "waited " + secondsText(timeout_) + " s for control " +
                             std::to_string(s.controlId) + " to show " + quote(s.text) + "; dialog " +
                             quote(front.caption) + " has no control " + std::to_string(s.controlId));
                    fail(at(s) + "waited " + secondsText(timeout_) + " s for control " + std::to_string(s.controlId) +
                         " to show " + quote(s.text) + "; it shows " + quote(c->text) + " (dialog " +
                         quote(front.caption) + ")");
                }
                return {};
            }
            case Statement::Press: {
                const ControlView *c = s.hasText ? byText(front, s.text) : front.find(s.controlId);
                if (c == nullptr)
                    fail(at(s) + "dialog " + quote(front.caption) + " has no " +
                         (s.hasText ? "button " + quote(s.text) : "control " + std::to_string(s.controlId)));
                if (!isButton(*c))
                    fail(at(s) + "control " + std::to_string(c->id) + " of dialog " + quote(front.caption) +
                         " is not a button");
                advance();
                Action a;
                a.kind = Action::Press;
                a.controlId = c->id;
                return a;
            }
            case Statement::Close: {
                advance();
                Action a;
                a.kind = Action::Close;
                return a;
            }
            default:
                // A message box or the file-open dialog is due: the dialog waits for it.
                if (quiet())
                    fail(at(s) + "the script expects `" + s.source + "` but the program shows dialog " +
                         quote(front.caption) + " and nothing changed for " + secondsText(timeout_) + " s");
                return {};
            }
        }
    }

    void onDialogOpened(const DialogView &view) override {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.push_back(view);
        lastChange_ = Clock::now();
    }

    void onDialogClosed(const DialogView &view) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = open_.begin(); it != open_.end(); ++it) {
            if (it->hwnd == view.hwnd) {
                open_.erase(it);
                break;
            }
        }
        lastChange_ = Clock::now();
    }

    void onMessageBox(const MessageBoxView &box) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lastChange_ = Clock::now();
        for (;;) {
            if (next_ == lines_.size())
                fail("script: the program shows " + describe(box) + " but the script has ended");
            const Statement &s = lines_[next_];
            switch (s.kind) {
            case Statement::Timeout:
                timeout_ = s.seconds;
                advance();
                continue;
            case Statement::Dismiss:
                if ((s.hasText && s.text != box.text) || (s.hasCaption && s.caption != box.caption)) break;
                advance();
                return;
            // The box may have come up before the dialog under it was seen
            // in front (a worker is quick); what was last seen of it counts.
            case Statement::WaitDialog:
                if ((box.hasOwner && box.ownerCaption == s.text) ||
                    (!open_.empty() && open_.back().caption == s.text)) {
                    advance();
                    continue;
                }
                break;
            case Statement::WaitText:
                if (!open_.empty()) {
                    const ControlView *c = open_.back().find(s.controlId);
                    if (c != nullptr && wildcardMatch(s.text, c->text)) {
                        advance();
                        continue;
                    }
                }
                break;
            default:
                break;
            }
            fail(at(s) + "the program shows " + describe(box) + " but the script expects `" + s.source + "`");
        }
    }

    std::optional<std::u16string> onFileOpen(const FileOpenView &request) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lastChange_ = Clock::now();
        if (!request.refusal.empty()) {
            const std::string where = next_ > 0 ? at(lines_[next_ - 1]) : std::string("script: ");
            fail(where + "the file-open dialog refused " + quote(request.refusedPath) + ": " + request.refusal);
        }
        for (;;) {
            if (next_ == lines_.size())
                fail("script: the program shows " + describe(request) + " but the script has ended");
            const Statement &s = lines_[next_];
            switch (s.kind) {
            case Statement::Timeout:
                timeout_ = s.seconds;
                advance();
                continue;
            case Statement::Choose:
                advance();
                return s.text;
            case Statement::Accept:
                if (request.initialFile.empty()) fail(at(s) + "`accept` but the file-open dialog's name box is empty");
                advance();
                return request.initialFile;
            case Statement::Cancel:
                advance();
                return std::nullopt;
            default:
                fail(at(s) + "the program shows " + describe(request) + " but the script expects `" + s.source + "`");
            }
        }
    }

    void onProgramEnd() override {
        std::lock_guard<std::mutex> lock(mutex_);
        while (next_ < lines_.size() && lines_[next_].kind == Statement::Timeout) ++next_;
        if (next_ < lines_.size())
            fail(at(lines_[next_]) + "the program ended but the script still expects `" + lines_[next_].source + "`");
    }

  private:
    using Clock = std::chrono::steady_clock;

    static std::string at(const Statement &s) { return "script line " + std::to_string(s.line) + ": "; }
    [[noreturn]] static void fail(const std::string &message) { fatal(message); }

    static const ControlView *byText(const DialogView &view, const std::u16string &text) {
        for (const auto &c : view.controls)
            if (isButton(c) && c.text == text) return &c;
        return nullptr;
    }

    void advance() {
        ++next_;
        lastChange_ = Clock::now();
    }
    bool quiet() const { return std::chrono::duration<double>(Clock::now() - lastChange_).count() > timeout_; }
    void note(const DialogView &front) {
        auto sig = signature(front);
        if (sig != lastSignature_ || front.hwnd != lastFront_) {
            lastSignature_ = std::move(sig);
            lastFront_ = front.hwnd;
            lastChange_ = Clock::now();
        }
        for (auto &d : open_)
            if (d.hwnd == front.hwnd) d = front;
    }

    std::mutex mutex_;
    std::vector<Statement> lines_;
    size_t next_ = 0;
    double timeout_ = 30;
    Clock::time_point lastChange_;
    std::u16string lastSignature_;
    HWND lastFront_ = nullptr;
    std::vector<DialogView> open_;  // dialogs shown, oldest first, as last seen
};

}  // namespace

}  // namespace wince::script

namespace wince {

std::shared_ptr<Operator> makeScriptOperator(const std::filesystem::path &script) {
    std::ifstream in(script, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the script " + script.string());
    std::ostringstream text;
    text << in.rdbuf();
    return makeScriptOperatorFromText(text.str(), script.filename().string());
}

std::shared_ptr<Operator> makeScriptOperatorFromText(const std::string &text, const std::string &name) {
    return std::make_shared<script::ScriptOperator>(script::parse(text, name));
}

}  // namespace wince
