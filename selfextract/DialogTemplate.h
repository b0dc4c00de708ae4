// Builds DLGTEMPLATEEX images in memory: a header and its items, each item
// DWORD-aligned, texts as UTF-16, classes by atom or name.
#pragma once

#include <windows.h>

#include <cstring>
#include <cwchar>

namespace sfx {

class DialogTemplate {
public:
    // A dialog of cx x cy dialog units with the "MS Shell Dlg" 8-point font.
    void begin(DWORD style, DWORD exStyle, short cx, short cy, const wchar_t* caption) {
        m_used = 0;
        m_count = 0;
        put(1);       // dlgVer
        put(0xFFFF);  // signature
        putDword(0);  // helpID
        putDword(exStyle);
        putDword(style | DS_SETFONT);
        m_countAt = m_used;
        put(0);  // cDlgItems
        put(0);
        put(0);
        put(static_cast<WORD>(cx));
        put(static_cast<WORD>(cy));
        put(0);  // no menu
        put(0);  // default class
        putText(caption);
        put(8);    // point size
        put(400);  // weight
        put(0);    // italic, charset
        putText(L"MS Shell Dlg");
    }
    // classAtom: 0x0080 button, 0x0081 edit, 0x0082 static; or a class name.
    void item(DWORD style, DWORD exStyle, short x, short y, short cx, short cy, DWORD id,
              WORD classAtom, const wchar_t* text, const wchar_t* className = nullptr) {
        align();
        putDword(0);  // helpID
        putDword(exStyle);
        putDword(style | WS_CHILD);
        put(static_cast<WORD>(x));
        put(static_cast<WORD>(y));
        put(static_cast<WORD>(cx));
        put(static_cast<WORD>(cy));
        putDword(id);
        if (className != nullptr) {
            putText(className);
        } else {
            put(0xFFFF);
            put(classAtom);
        }
        putText(text);
        put(0);  // no creation data
        ++m_count;
        m_words[m_countAt] = m_count;
    }
    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words); }
    bool complete() const { return !m_overflow; }

private:
    void put(WORD w) {
        if (m_used < kWords)
            m_words[m_used++] = w;
        else
            m_overflow = true;
    }
    void putDword(DWORD d) {
        put(LOWORD(d));
        put(HIWORD(d));
    }
    void putText(const wchar_t* text) {
        for (const wchar_t* p = text; *p != L'\0'; ++p) put(*p);
        put(0);
    }
    void align() {
        if (m_used % 2 != 0) put(0);
    }
    static constexpr size_t kWords = 2048;
    alignas(4) WORD m_words[kWords] = {};
    size_t m_used = 0;
    size_t m_countAt = 0;
    WORD m_count = 0;
    bool m_overflow = false;
};

}  // namespace sfx
