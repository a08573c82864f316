// rcc — the stand-in's resource compiler. Reads a resource script after the
// C preprocessor ran on it (gcc -E -x c -DRC_INVOKED: names are numbers by
// now, line markers say where each line came from) and writes a C++ source
// that exports the module's CeResourceTable (platform/resources.h), holding
// the same bytes windres puts in a .res file.
//
//   rcc -o table.cpp script.rc.i     the table
//   rcc --dump script.rc.i           each entry as "type name size hex"
//
// It knows the part of the script language the programs use: STRINGTABLE;
// DIALOG with STYLE, EXSTYLE, CAPTION, FONT and the controls PUSHBUTTON,
// DEFPUSHBUTTON, LTEXT, CTEXT, RTEXT, EDITTEXT, COMBOBOX, ICON, CONTROL;
// MENU with POPUP and MENUITEM; RCDATA; ICON "file.ico"; user-defined types
// with inline data. Anything else stops it with "file:line: message".
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

constexpr size_t kMaxInputBytes = 16u << 20;
constexpr size_t kMaxIconFileBytes = 4u << 20;
constexpr int kMaxNesting = 32; // parentheses and popups
constexpr size_t kMaxItems = 0xFFFF;

// The resource types (RT_*) as ordinals.
constexpr WORD kTypeIcon = 3, kTypeMenu = 4, kTypeDialog = 5, kTypeString = 6, kTypeData = 10,
               kTypeIconGroup = 14;

// The predefined control classes as atoms.
constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kEditAtom = 0x0081;
constexpr WORD kStaticAtom = 0x0082;
constexpr WORD kComboBoxAtom = 0x0085;

struct Location {
    std::string file;
    int line = 0;
};

struct Error {
    Location where;
    std::string message;
};

[[noreturn]] void Fail(const Location &where, const std::string &message) {
    throw Error{where, message};
}

bool SameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// Reads a whole file of at most limit bytes; false when it is longer (a
// device or a pipe never ends).
bool ReadAtMost(std::istream &in, size_t limit, std::string &out) {
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        out.append(chunk, static_cast<size_t>(in.gcount()));
        if (out.size() > limit)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- tokens

enum class Kind { End, Word, Number, String, Punct };

struct Token {
    Kind kind = Kind::End;
    std::string text;    // a word, a string's bytes, a punctuation mark
    uint32_t value = 0;  // a number
    bool isLong = false; // a number with an L suffix: a DWORD in data
    Location where;
};

class Lexer {
public:
    Lexer(std::string text, std::string file) : text_(std::move(text)) {
        where_.file = std::move(file);
    }

    std::vector<Token> Run() {
        std::vector<Token> tokens;
        where_.line = 1;
        bool lineStart = true;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\n') {
                ++where_.line, ++pos_, lineStart = true;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (c == '#' && lineStart) {
                Directive();
            } else {
                lineStart = false;
                tokens.push_back(Next());
            }
        }
        Token end;
        end.where = where_;
        tokens.push_back(end);
        return tokens;
    }

private:
    char At(size_t i) const { return i < text_.size() ? text_[i] : '\0'; }

    // A line marker, "# 12 "file" flags" or "#line 12 "file"": the next
    // line is that line of that file. Other directives cannot be here.
    void Directive() {
        const size_t end = std::min(text_.find('\n', pos_), text_.size());
        std::string line = text_.substr(pos_ + 1, end - pos_ - 1);
        pos_ = end;
        if (line.rfind("line", 0) == 0)
            line.erase(0, 4);
        size_t i = 0;
        while (i < line.size() && line[i] == ' ')
            ++i;
        size_t digits = i;
        while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits])))
            ++digits;
        if (digits == i || digits - i > 9)
            Fail(where_, "unexpected directive #" + line.substr(0, 40));
        const int number = std::stoi(line.substr(i, digits - i));
        const size_t open = line.find('"', digits);
        const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
        if (open != std::string::npos && close != std::string::npos)
            where_.file = line.substr(open + 1, close - open - 1);
        // The newline that ends the marker moves to the marked line.
        where_.line = number - 1;
    }

    Token Next() {
        Token token;
        token.where = where_;
        const char c = text_[pos_];
        const auto isWordChar = [](char ch) {
            return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_';
        };
        if ((c == 'L' || c == 'l') && At(pos_ + 1) == '"') {
            ++pos_; // a wide string: the text is the same
            return String(token);
        }
        if (c == '"')
            return String(token);
        if (std::isdigit(static_cast<unsigned char>(c))) {
            size_t end = pos_;
            while (end < text_.size() && isWordChar(text_[end]))
                ++end;
            Number(text_.substr(pos_, end - pos_), token);
            pos_ = end;
            return token;
        }
        if (isWordChar(c)) {
            const size_t start = pos_;
            while (pos_ < text_.size() && isWordChar(text_[pos_]))
                ++pos_;
            token.kind = Kind::Word;
            token.text = text_.substr(start, pos_ - start);
            return token;
        }
        if (std::string_view(",|&+-~(){}").find(c) != std::string_view::npos) {
            token.kind = Kind::Punct;
            token.text = std::string(1, c);
            ++pos_;
            return token;
        }
        Fail(where_, "unexpected character '" +
                         (std::isprint(static_cast<unsigned char>(c))
                              ? std::string(1, c)
                              : "\\x" + std::to_string(static_cast<unsigned char>(c))) +
                         "'");
    }

    // Decimal or 0x hexadecimal, with any of the C suffixes U and L.
    static void Number(const std::string &text, Token &token) {
        size_t i = 0;
        int base = 10;
        if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
            base = 16, i = 2;
        else if (text.size() > 1 && text[0] == '0' &&
                 std::isdigit(static_cast<unsigned char>(text[1])))
            Fail(token.where, "octal number " + text + " is not supported");
        uint64_t value = 0;
        size_t digits = 0;
        for (; i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]));
             ++i, ++digits) {
            const int d = std::isdigit(static_cast<unsigned char>(text[i]))
                              ? text[i] - '0'
                              : std::toupper(static_cast<unsigned char>(text[i])) - 'A' + 10;
            if (d >= base)
                break;
            value = value * base + d;
            if (value > 0xFFFFFFFFu)
                Fail(token.where, "number " + text + " does not fit 32 bits");
        }
        if (digits == 0)
            Fail(token.where, "bad number " + text);
        for (; i < text.size(); ++i) {
            if (text[i] == 'L' || text[i] == 'l')
                token.isLong = true;
            else if (text[i] != 'U' && text[i] != 'u')
                Fail(token.where, "bad number " + text);
        }
        token.kind = Kind::Number;
        token.value = static_cast<uint32_t>(value);
    }

    // "text", with "" for a quote and the escapes \\ \" \n \r \t; ASCII only.
    Token String(Token &token) {
        ++pos_;
        token.kind = Kind::String;
        while (true) {
            if (pos_ >= text_.size() || text_[pos_] == '\n')
                Fail(token.where, "unterminated string");
            char c = text_[pos_++];
            if (c == '"') {
                if (At(pos_) != '"')
                    return token;
                ++pos_;
            } else if (c == '\\') {
                const char e = At(pos_++);
                if (e == 'n')
                    c = '\n';
                else if (e == 'r')
                    c = '\r';
                else if (e == 't')
                    c = '\t';
                else if (e == '\\' || e == '"')
                    c = e;
                else
                    Fail(where_, "unsupported escape in string");
            } else if (static_cast<unsigned char>(c) < 0x20 ||
                       static_cast<unsigned char>(c) > 0x7E) {
                Fail(where_, "only printable ASCII in strings");
            }
            if (token.text.size() >= 0xFFFF)
                Fail(token.where, "string too long");
            token.text.push_back(c);
        }
    }

    std::string text_;
    size_t pos_ = 0;
    Location where_;
};

// ---------------------------------------------------------------- resources

// A type or a name: an ordinal or a string.
struct Id {
    bool isOrdinal = true;
    WORD ordinal = 0;
    std::string text;
    bool operator<(const Id &o) const {
        return std::tie(isOrdinal, ordinal, text) < std::tie(o.isOrdinal, o.ordinal, o.text);
    }
};

Id Ordinal(WORD value) {
    return Id{true, value, {}};
}

Id Text(std::string text) {
    return Id{false, 0, std::move(text)};
}

// Names, types and class names are matched without regard to case; the
// compilers store them in capitals.
Id Named(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return Text(std::move(text));
}

struct Resource {
    Id type;
    Id name;
    std::vector<BYTE> data;
    Location where;
};

class Writer {
public:
    void Byte(unsigned value) { bytes.push_back(static_cast<BYTE>(value)); }
    void Word(unsigned value) { Byte(value & 0xFF), Byte((value >> 8) & 0xFF); }
    void Dword(uint32_t value) { Word(value & 0xFFFF), Word(value >> 16); }
    // Zero-terminated UTF-16 (the script's text is ASCII).
    void Text(const std::string &text) {
        for (char c : text)
            Word(static_cast<unsigned char>(c));
        Word(0);
    }
    void IdOrText(const Id &id) {
        if (id.isOrdinal)
            Word(0xFFFF), Word(id.ordinal);
        else
            Text(id.text);
    }
    void AlignDword() {
        while (bytes.size() % 4 != 0)
            Byte(0);
    }
    std::vector<BYTE> bytes;
};

// ---------------------------------------------------------------- parser

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    // The resources in table order: the string blocks, then the others as
    // the script gives them.
    std::vector<Resource> Run() {
        while (Peek().kind != Kind::End)
            Statement();
        std::vector<Resource> all;
        std::map<WORD, std::vector<std::pair<int, std::string>>> blocks;
        for (const auto &[id, text] : strings_)
            blocks[static_cast<WORD>(id / 16 + 1)].push_back({id % 16, text});
        for (const auto &[block, texts] : blocks) {
            Writer out;
            for (int slot = 0; slot < 16; ++slot) {
                const auto it = std::find_if(texts.begin(), texts.end(),
                                             [&](const auto &t) { return t.first == slot; });
                const std::string text = it == texts.end() ? std::string() : it->second;
                out.Word(static_cast<unsigned>(text.size()));
                for (char c : text)
                    out.Word(static_cast<unsigned char>(c));
            }
            all.push_back({Ordinal(kTypeString), Ordinal(block), std::move(out.bytes), {}});
        }
        for (Resource &r : resources_)
            all.push_back(std::move(r));
        return all;
    }

private:
    const Token &Peek(size_t ahead = 0) const {
        return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)];
    }
    Token Take() {
        Token t = Peek();
        if (pos_ < tokens_.size() - 1)
            ++pos_;
        return t;
    }
    bool IsWord(const char *word, size_t ahead = 0) const {
        return Peek(ahead).kind == Kind::Word && SameWord(Peek(ahead).text, word);
    }
    bool IsPunct(char c) const { return Peek().kind == Kind::Punct && Peek().text[0] == c; }
    bool TakePunct(char c) {
        if (!IsPunct(c))
            return false;
        Take();
        return true;
    }
    static std::string Describe(const Token &t) {
        switch (t.kind) {
        case Kind::End:
            return "end of file";
        case Kind::String:
            return "a string";
        case Kind::Number:
            return "a number";
        default:
            return "'" + t.text + "'";
        }
    }
    [[noreturn]] void Expected(const std::string &what) const {
        Fail(Peek().where, "expected " + what + ", found " + Describe(Peek()));
    }
    void Comma() {
        if (!TakePunct(','))
            Expected("','");
    }
    bool Begin() {
        if (IsWord("BEGIN") || IsPunct('{')) {
            Take();
            return true;
        }
        return false;
    }
    // Whether a block goes on: false at its END.
    bool More() const {
        if (Peek().kind == Kind::End)
            Fail(Peek().where, "missing END");
        return !(IsWord("END") || IsPunct('}'));
    }
    bool AtEnd() const { return IsWord("END") || IsPunct('}'); }
    std::string String() {
        if (Peek().kind != Kind::String)
            Expected("a string");
        return Take().text;
    }

    // ---- numeric expressions: | & + - over unary - ~ ( )

    struct Value {
        uint32_t value = 0;
        bool isLong = false;
    };
    Value Primary() {
        if (++depth_ > kMaxNesting)
            Fail(Peek().where, "expression nested too deeply");
        Value v;
        if (TakePunct('-')) {
            v = Primary(), v.value = 0u - v.value;
        } else if (TakePunct('~')) {
            v = Primary(), v.value = ~v.value;
        } else if (TakePunct('(')) {
            v = Expression();
            if (!TakePunct(')'))
                Expected("')'");
        } else if (Peek().kind == Kind::Number) {
            const Token t = Take();
            v = {t.value, t.isLong};
        } else if (Peek().kind == Kind::Word) {
            Fail(Peek().where, "'" + Peek().text + "' is not a number (an undefined name?)");
        } else {
            Expected("a number");
        }
        --depth_;
        return v;
    }
    Value Expression() {
        Value v = Primary();
        while (IsPunct('|') || IsPunct('&') || IsPunct('+') || IsPunct('-')) {
            const char op = Take().text[0];
            const Value r = Primary();
            v.isLong = v.isLong || r.isLong;
            v.value = op == '|'   ? v.value | r.value
                      : op == '&' ? v.value & r.value
                      : op == '+' ? v.value + r.value
                                  : v.value - r.value;
        }
        return v;
    }
    uint32_t Number() { return Expression().value; }
    WORD Word16() { return static_cast<WORD>(Number()); }
    short Coordinate() { return static_cast<short>(Number()); }

    // A style: terms joined by |, each a value to add or "NOT value" to take
    // away from what the statement starts with.
    uint32_t Style(uint32_t style) {
        do {
            const bool remove = IsWord("NOT") ? (Take(), true) : false;
            const uint32_t v = Primary().value;
            style = remove ? style & ~v : style | v;
        } while (TakePunct('|'));
        return style;
    }

    // A name: a number or a word; a type may also be a string.
    Id Name() {
        if (Peek().kind == Kind::Number)
            return Ordinal(static_cast<WORD>(Take().value));
        if (Peek().kind == Kind::Word || Peek().kind == Kind::String)
            return Named(Take().text);
        Expected("a resource name");
    }

    void Add(Id type, Id name, std::vector<BYTE> data, const Location &where) {
        const auto [first, added] = lines_.emplace(std::make_pair(type, name), where.line);
        if (!added)
            Fail(where,
                 "resource defined twice (first at line " + std::to_string(first->second) + ")");
        resources_.push_back({std::move(type), std::move(name), std::move(data), where});
    }

    void Statement() {
        const Location where = Peek().where;
        if (IsWord("STRINGTABLE")) {
            Take();
            StringTable();
            return;
        }
        for (const char *keyword : {"LANGUAGE", "VERSION", "CHARACTERISTICS"})
            if (IsWord(keyword))
                Fail(where, "unsupported statement " + Peek().text);
        const Id name = Name();
        const Token type = Peek();
        if (IsWord("DIALOG"))
            Take(), Add(Ordinal(kTypeDialog), name, Dialog(), where);
        else if (IsWord("MENU"))
            Take(), Add(Ordinal(kTypeMenu), name, Menu(), where);
        else if (IsWord("RCDATA"))
            Take(), Add(Ordinal(kTypeData), name, Data(), where);
        else if (IsWord("ICON"))
            Take(), Icon(name, where);
        else if (type.kind == Kind::Word) {
            for (const char *keyword :
                 {"ACCELERATORS", "BITMAP", "CURSOR", "DIALOGEX", "FONT", "HTML", "MENUEX",
                  "MESSAGETABLE", "VERSIONINFO", "DLGINIT", "TOOLBAR", "MANIFEST"})
                if (SameWord(type.text, keyword))
                    Fail(type.where, "unsupported resource type " + type.text);
            if (Peek(1).kind != Kind::Punct && !IsWord("BEGIN", 1))
                Fail(type.where, "unknown statement '" + type.text + "'");
            Take(), Add(Named(type.text), name, Data(), where);
        } else if (type.kind == Kind::Number || type.kind == Kind::String) {
            Take();
            Add(type.kind == Kind::Number ? Ordinal(static_cast<WORD>(type.value))
                                          : Named(type.text),
                name, Data(), where);
        } else {
            Expected("a resource type");
        }
    }

    void StringTable() {
        if (!Begin())
            Expected("BEGIN");
        while (More()) {
            const Location where = Peek().where;
            const WORD id = Word16();
            TakePunct(',');
            const std::string text = String();
            if (!strings_.emplace(id, text).second)
                Fail(where, "string " + std::to_string(id) + " defined twice");
        }
        Take();
    }

    // ---- DIALOG: a DLGTEMPLATE with the font and DWORD-aligned controls.

    struct Control {
        DWORD style = 0, exStyle = 0;
        short x = 0, y = 0, cx = 0, cy = 0;
        WORD id = 0;
        Id classId;
        Id text;
    };

    std::vector<BYTE> Dialog() {
        short rect[4];
        for (int i = 0; i < 4; ++i) {
            if (i > 0)
                Comma();
            rect[i] = Coordinate();
        }
        DWORD style = WS_POPUP | WS_BORDER | WS_SYSMENU, added = 0, exStyle = 0;
        std::string caption, face;
        WORD points = 0;
        while (!Begin()) {
            if (IsWord("STYLE")) {
                Take();
                style = added | Style(0);
            } else if (IsWord("EXSTYLE")) {
                Take();
                exStyle = Number();
            } else if (IsWord("CAPTION")) {
                Take();
                caption = String();
                style |= WS_CAPTION, added |= WS_CAPTION;
            } else if (IsWord("FONT")) {
                Take();
                points = Word16();
                Comma();
                face = String();
                style |= DS_SETFONT, added |= DS_SETFONT;
            } else {
                Fail(Peek().where, "unknown dialog statement " + Describe(Peek()));
            }
        }
        std::vector<Control> controls;
        while (More()) {
            if (controls.size() >= kMaxItems)
                Fail(Peek().where, "too many controls");
            controls.push_back(DialogControl());
        }
        Take();

        Writer out;
        out.Dword(style), out.Dword(exStyle), out.Word(static_cast<unsigned>(controls.size()));
        for (short v : rect)
            out.Word(static_cast<WORD>(v));
        out.Word(0); // no menu
        out.Word(0); // the standard dialog class
        out.Text(caption);
        if (style & DS_SETFONT)
            out.Word(points), out.Text(face);
        for (const Control &c : controls) {
            out.AlignDword();
            out.Dword(c.style), out.Dword(c.exStyle);
            for (short v : {c.x, c.y, c.cx, c.cy})
                out.Word(static_cast<WORD>(v));
            out.Word(c.id);
            out.IdOrText(c.classId);
            out.IdOrText(c.text);
            out.Word(0); // no creation data
        }
        return out.bytes;
    }

    // A control's text: a string, or a resource name (an icon's).
    Id ControlText() {
        if (Peek().kind == Kind::String)
            return Text(Take().text);
        return Ordinal(Word16());
    }

    // The statements as rc documents them: their class and default style,
    // which a given style adds to (NOT takes bits away). windres differs in
    // two places, which a script avoids by spelling them out: it adds no
    // WS_GROUP to a text's given style, and it drops an ICON's size.
    enum class TextKind { None, String, Icon };
    struct ControlKind {
        const char *keyword;
        WORD atom;
        DWORD style;
        TextKind text;
    };
    Control DialogControl() {
        static const ControlKind kinds[] = {
            {"PUSHBUTTON", kButtonAtom, BS_PUSHBUTTON | WS_TABSTOP, TextKind::String},
            {"DEFPUSHBUTTON", kButtonAtom, BS_DEFPUSHBUTTON | WS_TABSTOP, TextKind::String},
            {"LTEXT", kStaticAtom, SS_LEFT | WS_GROUP, TextKind::String},
            {"CTEXT", kStaticAtom, SS_CENTER | WS_GROUP, TextKind::String},
            {"RTEXT", kStaticAtom, SS_RIGHT | WS_GROUP, TextKind::String},
            {"EDITTEXT", kEditAtom, ES_LEFT | WS_BORDER | WS_TABSTOP, TextKind::None},
            {"COMBOBOX", kComboBoxAtom, CBS_SIMPLE | WS_TABSTOP, TextKind::None},
            {"ICON", kStaticAtom, SS_ICON, TextKind::Icon},
        };
        Control c;
        c.text = Text({});
        if (IsWord("CONTROL")) {
            // CONTROL text, id, class, style, x, y, cx, cy [, exstyle]
            Take();
            c.text = ControlText();
            Comma(), c.id = Word16(), Comma();
            if (Peek().kind == Kind::String)
                c.classId = Named(Take().text); // not an atom, as in windres
            else
                c.classId = Ordinal(Word16());
            Comma(), c.style = Style(WS_CHILD | WS_VISIBLE), Comma();
            c.x = Coordinate(), Comma(), c.y = Coordinate(), Comma();
            c.cx = Coordinate(), Comma(), c.cy = Coordinate();
            if (TakePunct(','))
                c.exStyle = Number();
            return c;
        }
        const ControlKind *kind = nullptr;
        for (const ControlKind &k : kinds)
            if (IsWord(k.keyword))
                kind = &k;
        if (kind == nullptr)
            Fail(Peek().where, "unknown control statement " + Describe(Peek()));
        Take();
        const bool icon = kind->text == TextKind::Icon;
        c.classId = Ordinal(kind->atom);
        if (kind->text != TextKind::None) {
            c.text = icon ? ControlText() : Text(String());
            Comma();
        }
        c.id = Word16(), Comma(), c.x = Coordinate(), Comma(), c.y = Coordinate();
        c.style = WS_CHILD | WS_VISIBLE | kind->style;
        // An icon sizes itself: its width and height may be left out.
        if (!icon || TakePunct(',')) {
            if (!icon)
                Comma();
            c.cx = Coordinate(), Comma(), c.cy = Coordinate();
            if (TakePunct(',')) {
                c.style = Style(c.style);
                if (TakePunct(','))
                    c.exStyle = Number();
            }
        }
        return c;
    }

    // ---- MENU: a MENUITEMTEMPLATEHEADER and the items, MF_END on the last
    // of each level.

    std::vector<BYTE> Menu() {
        Writer out;
        out.Word(0), out.Word(0);
        MenuItems(out, 0);
        return out.bytes;
    }
    void MenuItems(Writer &out, int depth) {
        if (depth > kMaxNesting)
            Fail(Peek().where, "menus nested too deeply");
        if (!Begin())
            Expected("BEGIN");
        if (!More())
            Fail(Peek().where, "empty menu");
        while (More()) {
            const bool popup = IsWord("POPUP");
            if (!popup && !IsWord("MENUITEM"))
                Fail(Peek().where, "unknown menu statement " + Describe(Peek()));
            Take();
            if (!popup && IsWord("SEPARATOR")) {
                Take();
                out.Word(AtEnd() ? MF_END : 0), out.Word(0), out.Word(0);
                continue;
            }
            const std::string text = String();
            WORD id = 0;
            if (!popup)
                Comma(), id = Word16();
            if (IsPunct(','))
                Fail(Peek().where, "menu item options are not supported");
            if (popup) {
                const size_t flags = out.bytes.size();
                out.Word(MF_POPUP), out.Text(text);
                MenuItems(out, depth + 1);
                if (AtEnd())
                    out.bytes[flags] |= MF_END;
            } else {
                out.Word(AtEnd() ? MF_END : 0), out.Word(id), out.Text(text);
            }
        }
        Take();
    }

    // ---- RCDATA and user-defined types: numbers (a WORD, a DWORD with L)
    // and strings (their bytes, no terminator), separated by commas.

    std::vector<BYTE> Data() {
        if (Peek().kind == Kind::String)
            Fail(Peek().where, "data from a file is not supported");
        if (!Begin())
            Expected("BEGIN");
        Writer out;
        bool first = true;
        while (More()) {
            if (!first)
                Comma();
            first = false;
            if (Peek().kind == Kind::String) {
                for (char c : Take().text)
                    out.Byte(static_cast<unsigned char>(c));
            } else {
                const Value v = Expression();
                if (v.isLong)
                    out.Dword(v.value);
                else
                    out.Word(v.value & 0xFFFF);
            }
            if (out.bytes.size() > kMaxInputBytes)
                Fail(Peek().where, "data too long");
        }
        Take();
        return out.bytes;
    }

    // ---- ICON "file.ico": one RT_ICON per image (ids from 1 up across the
    // script) and the RT_GROUP_ICON directory that lists them.

    void Icon(const Id &name, const Location &where) {
        const Location fileAt = Peek().where;
        const std::string file = String();
        std::string path = file;
        const size_t slash = where.file.rfind('/');
        if (!file.empty() && file[0] != '/' && slash != std::string::npos)
            path = where.file.substr(0, slash + 1) + file;
        std::ifstream in(path, std::ios::binary);
        if (!in)
            Fail(fileAt, "cannot open icon file " + path);
        std::string bytes;
        if (!ReadAtMost(in, kMaxIconFileBytes, bytes))
            Fail(fileAt, "icon file " + path + " is too large");
        const auto at = [&](size_t offset, size_t size) {
            if (offset > bytes.size() || size > bytes.size() - offset)
                Fail(fileAt, "icon file " + path + " is truncated");
            uint32_t v = 0;
            for (size_t i = size; i-- > 0;)
                v = v << 8 | static_cast<unsigned char>(bytes[offset + i]);
            return v;
        };
        const uint32_t count = at(4, 2);
        if (at(0, 2) != 0 || at(2, 2) != 1 || count == 0)
            Fail(fileAt, path + " is not an icon file");
        Writer group;
        group.Word(0), group.Word(1), group.Word(count);
        std::vector<Resource> images;
        for (uint32_t i = 0; i < count; ++i) {
            const size_t entry = 6 + 16 * static_cast<size_t>(i);
            const uint32_t size = at(entry + 8, 4), offset = at(entry + 12, 4);
            at(offset, 0);
            if (size > bytes.size() - offset)
                Fail(fileAt, "icon file " + path + " is truncated");
            if (nextIcon_ == 0xFFFF)
                Fail(fileAt, "too many icon images");
            // GRPICONDIRENTRY: the ICONDIRENTRY's first 12 bytes and the id.
            for (size_t b = 0; b < 12; ++b)
                group.Byte(at(entry + b, 1));
            group.Word(nextIcon_);
            images.push_back(
                {Ordinal(kTypeIcon), Ordinal(nextIcon_++),
                 std::vector<BYTE>(bytes.begin() + offset, bytes.begin() + offset + size), where});
        }
        Add(Ordinal(kTypeIconGroup), name, std::move(group.bytes), where);
        for (Resource &image : images)
            Add(image.type, image.name, std::move(image.data), where);
    }

    std::vector<Token> tokens_;
    size_t pos_ = 0;
    int depth_ = 0;
    WORD nextIcon_ = 1;
    std::map<WORD, std::string> strings_;
    std::vector<Resource> resources_;
    std::map<std::pair<Id, Id>, int> lines_; // where each resource was defined
};

// ---------------------------------------------------------------- output

std::string Hex(const std::vector<BYTE> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (BYTE b : bytes)
        out += digits[b >> 4], out += digits[b & 15];
    return out;
}

std::string DumpId(const Id &id) {
    return id.isOrdinal ? "#" + std::to_string(id.ordinal) : id.text;
}

std::string CppId(const Id &id, const std::string &array) {
    return id.isOrdinal ? "MAKEINTRESOURCEW(" + std::to_string(id.ordinal) + ")" : array;
}

std::string Table(const std::vector<Resource> &resources, const std::string &source) {
    std::ostringstream out;
    out << "// Generated by rcc from " << source << ": edit the script, not this file.\n"
        << "#include <platform/resources.h>\n\nnamespace {\n\n";
    const auto text = [&](const std::string &name, const std::string &value) {
        out << "const char16_t " << name << "[] = {";
        for (char c : value)
            out << static_cast<int>(static_cast<unsigned char>(c)) << ", ";
        out << "0};\n";
    };
    for (size_t i = 0; i < resources.size(); ++i) {
        const Resource &r = resources[i];
        if (!r.type.isOrdinal)
            text("type" + std::to_string(i), r.type.text);
        if (!r.name.isOrdinal)
            text("name" + std::to_string(i), r.name.text);
        if (r.data.empty())
            continue;
        out << "alignas(4) const unsigned char data" << i << "[] = {";
        for (size_t b = 0; b < r.data.size(); ++b)
            out << (b % 16 == 0 ? "\n    " : " ") << static_cast<int>(r.data[b]) << ",";
        out << "\n};\n";
    }
    out << "\nconst CeResource entries[] = {\n";
    for (size_t i = 0; i < resources.size(); ++i) {
        const Resource &r = resources[i];
        const std::string n = std::to_string(i);
        out << "    {" << CppId(r.type, "type" + n) << ", " << CppId(r.name, "name" + n) << ", "
            << (r.data.empty() ? "nullptr, 0" : "data" + n + ", sizeof data" + n) << "},\n";
    }
    out << "};\n\n} // namespace\n\n"
        << "extern \"C\" __declspec(dllexport) const struct CeResourceTable CeResourceTable = {\n"
        << "    " << resources.size() << ", entries};\n";
    return out.str();
}

int Usage() {
    std::fputs("usage: rcc -o table.cpp script.rc.i | rcc --dump script.rc.i\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    std::string input, output;
    bool dump = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dump")
            dump = true;
        else if (arg == "-o" && i + 1 < argc)
            output = argv[++i];
        else if (!arg.empty() && arg[0] != '-' && input.empty())
            input = arg;
        else
            return Usage();
    }
    if (input.empty() || dump == !output.empty())
        return Usage();
    try {
        std::ifstream in(input, std::ios::binary);
        if (!in)
            Fail({input, 0}, "cannot open");
        std::string text;
        if (!ReadAtMost(in, kMaxInputBytes, text))
            Fail({input, 0}, "script too large");
        const std::vector<Resource> resources = Parser(Lexer(text, input).Run()).Run();
        if (dump) {
            for (const Resource &r : resources)
                std::printf("%s %s %zu %s\n", DumpId(r.type).c_str(), DumpId(r.name).c_str(),
                            r.data.size(), Hex(r.data).c_str());
            return 0;
        }
        const std::string table = Table(resources, input);
        std::ofstream out(output, std::ios::binary | std::ios::trunc);
        if (!(out << table) || !out.flush()) {
            std::remove(output.c_str());
            Fail({output, 0}, "cannot write");
        }
    } catch (const Error &e) {
        std::fprintf(stderr, "%s:%d: %s\n", e.where.file.c_str(), e.where.line, e.message.c_str());
        return 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", input.c_str(), e.what());
        return 1;
    }
    return 0;
}
