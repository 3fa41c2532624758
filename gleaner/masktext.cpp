#include "gleaner/masktext.h"

#include <cctype>

namespace {
constexpr char kInputPlace = '_';   // template character of a place to be typed
constexpr char kDigitSymbol = '0';  // mask symbol that takes a digit
}  // namespace

void CMaskText::SetMask(const std::string& mask, const std::string& templ) {
    mask_ = mask;
    template_ = templ;
    text_ = templ;
    caret_ = 0;
}

void CMaskText::SetText(const std::string& text) {
    text_ = text;
    if (caret_ > int(text_.size())) caret_ = int(text_.size());
}

void CMaskText::SetCaret(int caret, int selectionStart, int selectionLength) {
    caret_ = selectionLength > 0 && selectionStart >= 0 ? selectionStart : caret;
    if (caret_ < 0) caret_ = 0;
    if (caret_ > int(text_.size())) caret_ = int(text_.size());
}

void CMaskText::TypeSeparatorAtCaret() {
    while (caret_ < int(template_.size()) && template_[caret_] != kInputPlace) {
        if (caret_ < int(text_.size()))
            text_[caret_] = template_[caret_];
        else
            text_.push_back(template_[caret_]);
        ++caret_;
    }
}

bool CMaskText::Accepts(char c) const {
    if (extra_.find(c) != std::string::npos) return true;
    if (caret_ >= int(mask_.size())) return false;
    if (mask_[caret_] == kDigitSymbol) return std::isdigit(static_cast<unsigned char>(c)) != 0;
    return false;
}

bool CMaskText::TypeChar(char c) {
    if (!useMask_) {
        text_.insert(text_.begin() + caret_, c);
        ++caret_;
        return true;
    }
    TypeSeparatorAtCaret();
    if (!Accepts(c)) return false;
    if (caret_ < int(text_.size()))
        text_[caret_] = c;
    else
        text_.push_back(c);
    ++caret_;
    TypeSeparatorAtCaret();
    return true;
}
