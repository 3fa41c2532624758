// The typing rules of a masked edit field, apart from any window: the field always holds a text
// as long as its template, and a typed character overwrites the one at the caret.
//
//   - Before a printable character is taken, any selection is dropped and the caret goes to its
//     start. A separator of the template at the caret ("_" marks input places) is typed first.
//   - A character of the extra set is always taken; otherwise the mask symbol at the caret
//     decides: "0" takes a digit. Anything else, or a caret past the mask, refuses it (a beep).
//   - After a taken character a separator at the new caret is typed automatically.
//   - Backspace, Delete and Insert do nothing.
#pragma once

#include <string>

class CMaskText {
  public:
    // Sets mask and template; the text becomes the template and the caret goes to 0.
    void SetMask(const std::string& mask, const std::string& templ);
    void SetExtraCharacters(const std::string& extra) { extra_ = extra; }
    void SetUseMask(bool on) { useMask_ = on; }
    bool UseMask() const { return useMask_; }

    // Replaces the text (a shown time); the caret stays where it was, within the text.
    void SetText(const std::string& text);
    const std::string& Text() const { return text_; }
    const std::string& Mask() const { return mask_; }
    const std::string& Template() const { return template_; }

    int Caret() const { return caret_; }
    // Caret and selection as the edit control has them (selection start, length).
    void SetCaret(int caret, int selectionStart = -1, int selectionLength = 0);

    // A printable character typed at the caret. False when it is refused (the caller beeps).
    bool TypeChar(char c);

  private:
    bool Accepts(char c) const;
    void TypeSeparatorAtCaret();

    bool useMask_ = true;
    std::string text_;
    std::string mask_;
    std::string template_;
    std::string extra_;
    int caret_ = 0;
};
