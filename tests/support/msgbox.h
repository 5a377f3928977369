#ifndef TESTS_SUPPORT_MSGBOX_H
#define TESTS_SUPPORT_MSGBOX_H

#include <windows.h>
#include <string>
#include <vector>

struct BoxSeen {
    HWND hwndOwner;
    std::string text;       /* as passed */
    std::string caption;
    UINT uType;
    std::string shownText;  /* as read back from the box on screen */
    bool closed;            /* the watcher found the real box and pressed OK */
};

/* While it lives, every message box the bar shows is recorded, found on
   screen, read and closed with OK. */
class MessageBoxWatcher {
public:
    MessageBoxWatcher();
    ~MessageBoxWatcher();
    const std::vector<BoxSeen> &Boxes() const;
    MessageBoxWatcher(const MessageBoxWatcher &) = delete;
    MessageBoxWatcher &operator=(const MessageBoxWatcher &) = delete;
};

#endif
