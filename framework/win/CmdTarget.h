// Message maps.
//
// Each class that handles messages declares DECLARE_MESSAGE_MAP() and defines
// one static table between BEGIN_MESSAGE_MAP(Class, Base) and
// END_MESSAGE_MAP(). An entry names the message (and for WM_COMMAND the
// notification code and control id) and a member function; the macro turns
// the member into a small typed thunk, so the table holds plain function
// pointers and nothing is cast between member-pointer types. Lookup walks the
// class's table, then its base's, up to CCmdTarget: the first match wins.
//
//   BEGIN_MESSAGE_MAP(CMyDlg, CDialog)
//       ON_WM_PAINT()
//       ON_BN_CLICKED(1003, &CMyDlg::OnUpgrade)
//       ON_MESSAGE(WM_APP + 1, &CMyDlg::OnSomething)   // LRESULT (WPARAM, LPARAM)
//   END_MESSAGE_MAP()
//
// A handler may be a member of a base class (&CDialog::OnCancel); virtual
// members are called virtually.
#pragma once

#include <windows.h>

#include <type_traits>

#include "CObject.h"

class CCmdTarget;

using AFX_THUNK = LRESULT (*)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // window message; WM_COMMAND for commands and control notifications
    UINT nCode;     // WM_COMMAND / WM_NOTIFY: notification code; otherwise 0
    UINT nID;       // WM_COMMAND / WM_NOTIFY: control or command id; otherwise 0
    AFX_THUNK pfn;  // null ends the table
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();  // null for the root
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// The framework's command ids routed to the application object.
constexpr UINT ID_HELP = 0xE146;

class CCmdTarget : public CObject {
public:
    // Handles a command (WM_COMMAND id and code) through this object's map.
    // True when an entry was found and called.
    virtual BOOL OnCmdMsg(UINT nID, int nCode);

    // The first entry for a message in this object's map chain, or null.
    const AFX_MSGMAP_ENTRY* FindEntry(UINT nMessage, UINT nCode, UINT nID) const;

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

namespace AfxThunk {

template <class>
struct MemberOf;
template <class C, class R, class... A>
struct MemberOf<R (C::*)(A...)> {
    using type = C;
};

template <class T, auto F>
constexpr void CheckMember() {
    static_assert(std::is_base_of<typename MemberOf<decltype(F)>::type, T>::value,
                  "message-map handler is not a member of this class or its bases");
}

// void F()
template <class T, auto F>
LRESULT Void(CCmdTarget* target, WPARAM, LPARAM) {
    CheckMember<T, F>();
    (static_cast<T*>(target)->*F)();
    return 0;
}

// LRESULT F(WPARAM, LPARAM)
template <class T, auto F>
LRESULT Message(CCmdTarget* target, WPARAM wParam, LPARAM lParam) {
    CheckMember<T, F>();
    return (static_cast<T*>(target)->*F)(wParam, lParam);
}

}  // namespace AfxThunk

#define DECLARE_MESSAGE_MAP()                     \
protected:                                        \
    static const AFX_MSGMAP* GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                           \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }     \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                     \
        using ThisClass = theClass;                                                       \
        using TheBaseClass = baseClass;                                                   \
        static_assert(std::is_base_of<TheBaseClass, ThisClass>::value, "wrong base class"); \
        static const AFX_MSGMAP_ENTRY entries[] = {

#define END_MESSAGE_MAP()                                                         \
    {0, 0, 0, nullptr}};                                                          \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &entries[0]}; \
    return &messageMap;                                                           \
    }

// Commands and control notifications (WM_COMMAND). Handlers: void F().
#define ON_COMMAND(id, memberFxn) {WM_COMMAND, 0, static_cast<UINT>(id), &AfxThunk::Void<ThisClass, memberFxn>},
#define ON_CONTROL(code, id, memberFxn) \
    {WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(id), &AfxThunk::Void<ThisClass, memberFxn>},
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)

// Any message with a handler LRESULT F(WPARAM, LPARAM).
#define ON_MESSAGE(message, memberFxn) \
    {static_cast<UINT>(message), 0, 0, &AfxThunk::Message<ThisClass, memberFxn>},
