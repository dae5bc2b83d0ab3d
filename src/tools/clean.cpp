// clean_trees: Newick text in the dialects other tools write (comments, quoted labels, support
// values on internal nodes) rewritten in the plain dialect the veltrane reader takes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/native.hpp"

namespace veltrane::tools {

namespace {

enum class InternalLabels : long { keep = 0, drop = 1, names = 2 };

bool is_delimiter(char c) noexcept {
    return c == '(' || c == ')' || c == ',' || c == ':' || c == ';';
}

// Bytes taken by the whitespace character at s[i], or 0. The set is the reader's (Unicode
// White_Space), so that what the reader would drop is exactly what is dropped or replaced here.
std::size_t whitespace_length(std::string_view s, std::size_t i) noexcept {
    const auto byte = [&](std::size_t k) {
        return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u;
    };
    const unsigned b0 = byte(i);
    if ((b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20) return 1;
    if (b0 == 0xC2) return byte(i + 1) == 0x85 || byte(i + 1) == 0xA0 ? 2 : 0;
    if (b0 == 0xE1) return byte(i + 1) == 0x9A && byte(i + 2) == 0x80 ? 3 : 0;
    if (b0 == 0xE2) {
        const unsigned b1 = byte(i + 1), b2 = byte(i + 2);
        if (b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF))
            return 3;
        return b1 == 0x81 && b2 == 0x9F ? 3 : 0;
    }
    if (b0 == 0xE3) return byte(i + 1) == 0x80 && byte(i + 2) == 0x80 ? 3 : 0;
    return 0;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// A decimal number ("95", "0.87", "1e-5"), or numbers joined by "/" as IQ-TREE writes its
// support values ("95.3/100").
bool is_support_value(std::string_view label) noexcept {
    if (label.empty()) return false;
    std::size_t i = 0;
    while (true) {
        if (i < label.size() && (label[i] == '+' || label[i] == '-')) ++i;
        std::size_t digits = 0;
        while (i < label.size() && is_digit(label[i])) ++i, ++digits;
        if (i < label.size() && label[i] == '.') {
            ++i;
            while (i < label.size() && is_digit(label[i])) ++i, ++digits;
        }
        if (digits == 0) return false;
        if (i < label.size() && (label[i] == 'e' || label[i] == 'E')) {
            ++i;
            if (i < label.size() && (label[i] == '+' || label[i] == '-')) ++i;
            std::size_t exponent = 0;
            while (i < label.size() && is_digit(label[i])) ++i, ++exponent;
            if (exponent == 0) return false;
        }
        if (i == label.size()) return true;
        if (label[i] != '/') return false;
        ++i;
    }
}

class Cleaner {
 public:
    Cleaner(std::string_view text, InternalLabels mode) : text_(text), mode_(mode) {}

    std::vector<std::string> run() {
        while (i_ < text_.size()) {
            check_interrupt();
            const char c = text_[i_];
            if (const std::size_t blank = whitespace_length(text_, i_)) {
                i_ += blank;
            } else if (c == '[') {
                skip_comment();
            } else if (c == ']') {
                fail("a ']' at character " + position(i_) + " closes no comment");
            } else if (c == '(') {
                if (labelled_) {
                    fail("text stands directly before the '(' at character " + position(i_) +
                         "; a node's label and length follow its subtree, as in (B,C)A:0.5");
                }
                open_.push_back(i_);
                emit(c);
            } else if (c == ')' || c == ',') {
                if (open_.empty()) {
                    fail(std::string("a '") + c + "' at character " + position(i_) +
                         " has no open '(' to belong to");
                }
                if (c == ')') open_.pop_back();
                emit(c);
                after_close_ = c == ')';
            } else if (c == ':') {
                branch_length();
            } else if (c == ';') {
                ++i_;
                finish_tree();
            } else {
                label();
            }
        }
        finish_tree();
        return std::move(trees_);
    }

 private:
    void emit(char c) {
        out_ += c;
        ++i_;
        labelled_ = false;
        after_close_ = false;
    }

    // Square-bracket comments, "[&R]" and NHX blocks included; they may nest.
    void skip_comment() {
        const std::size_t start = i_;
        std::size_t depth = 0;
        do {
            if (text_[i_] == '[') ++depth;
            if (text_[i_] == ']') --depth;
            ++i_;
        } while (depth > 0 && i_ < text_.size());
        if (depth > 0) {
            fail("the comment opened at character " + position(start) + " is never closed");
        }
    }

    void branch_length() {
        out_ += ':';
        ++i_;
        labelled_ = true;
        while (i_ < text_.size() && !is_delimiter(text_[i_])) {
            if (const std::size_t blank = whitespace_length(text_, i_)) {
                i_ += blank;
            } else if (text_[i_] == '[') {
                skip_comment();
            } else if (text_[i_] == ']') {
                fail("a ']' at character " + position(i_) + " closes no comment");
            } else {
                out_ += text_[i_++];
            }
        }
    }

    // A label, quoted or not. Blanks inside it become "_" (blanks around it are dropped);
    // comments inside it are dropped.
    void label() {
        const std::size_t start = i_;
        std::string name;
        bool quoted = false;
        std::size_t pending_blanks = 0;
        while (i_ < text_.size() && !is_delimiter(text_[i_])) {
            const char c = text_[i_];
            if (const std::size_t blank = whitespace_length(text_, i_)) {
                ++pending_blanks;
                i_ += blank;
            } else if (c == '[') {
                skip_comment();
            } else if (c == ']') {
                fail("a ']' at character " + position(i_) + " closes no comment");
            } else if (c == '\'' && name.empty() && !quoted) {
                quoted = true;
                quoted_part(name);
            } else {
                name.append(pending_blanks, '_');
                pending_blanks = 0;
                name += c;
                ++i_;
            }
        }
        for (const char c : name) {
            if (is_delimiter(c)) {
                fail("the label '" + name + "' (character " + position(start) + ") holds '" + c +
                     "', which plain Newick cannot write; rename it");
            }
        }
        const bool internal = after_close_;
        after_close_ = false;
        labelled_ = true;
        if (internal && (mode_ == InternalLabels::drop ||
                         (mode_ == InternalLabels::names && !quoted && is_support_value(name)))) {
            return;
        }
        out_ += name;
    }

    // From an opening quote to its closing one; '' stands for one quote, blanks become "_".
    void quoted_part(std::string& name) {
        const std::size_t start = i_++;
        while (true) {
            if (i_ >= text_.size()) {
                fail("the quote opened at character " + position(start) + " is never closed");
            }
            if (text_[i_] == '\'') {
                if (i_ + 1 < text_.size() && text_[i_ + 1] == '\'') {
                    name += '\'';
                    i_ += 2;
                    continue;
                }
                ++i_;
                return;
            }
            if (const std::size_t blank = whitespace_length(text_, i_)) {
                name += '_';
                i_ += blank;
            } else {
                name += text_[i_++];
            }
        }
    }

    void finish_tree() {
        if (!open_.empty()) {
            fail("the '(' at character " + position(open_.back()) + " is never closed");
        }
        if (!out_.empty()) {
            out_ += ';';
            trees_.push_back(std::move(out_));
        }
        out_.clear();
        labelled_ = false;
        after_close_ = false;
    }

    // Characters (not bytes) before byte offset `at`, counted from 0.
    std::string position(std::size_t at) const {
        std::size_t count = 0;
        for (std::size_t k = 0; k < at; ++k) {
            if ((static_cast<unsigned char>(text_[k]) & 0xC0u) != 0x80u) ++count;
        }
        return std::to_string(count);
    }

    [[noreturn]] static void fail(const std::string& message) { throw InputError(message); }

    std::string_view text_;
    InternalLabels mode_;
    std::size_t i_ = 0;
    std::string out_;
    std::vector<std::string> trees_;
    std::vector<std::size_t> open_;  // byte offsets of the '(' not closed yet
    bool labelled_ = false;          // the current node has its label or length
    bool after_close_ = false;       // a label here names the node a ')' just closed
};

}  // namespace

PyObject* clean_trees(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_entry([&] {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "clean_trees() takes the text and the mode");
            throw PyErrorSet{};
        }
        const std::string_view text = text_argument(args[0], "newick");
        const long mode = PyLong_AsLong(args[1]);
        if (mode == -1 && PyErr_Occurred()) throw PyErrorSet{};
        if (mode < 0 || mode > 2) py::raise(PyExc_ValueError, "clean_trees(): mode is 0, 1 or 2");
        std::vector<std::string> trees;
        {
            const ReleasedGil released;
            trees = Cleaner(text, static_cast<InternalLabels>(mode)).run();
        }
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(trees.size())));
        if (!list) throw PyErrorSet{};
        for (std::size_t k = 0; k < trees.size(); ++k) {
            PyRef item = PyRef::steal(PyUnicode_DecodeUTF8(
                trees[k].data(), static_cast<Py_ssize_t>(trees[k].size()), nullptr));
            if (!item) throw PyErrorSet{};
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item.release());
        }
        return list;
    });
}

}  // namespace veltrane::tools
