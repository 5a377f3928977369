#ifndef TESTS_SUPPORT_MSGLOG_H
#define TESTS_SUPPORT_MSGLOG_H

#include <windows.h>
#include <string>
#include <vector>

/* One log, in order, of what happens around the bar: messages sent to its
   window (with their nesting depth), shell requests (from the model shell)
   and trace lines (from TraceCapture). Entries are short strings such as
   "WM_SIZE", "ABM_SETPOS", "trace:AppBarPosChanged". */
namespace EventLog {
void Add(const std::string &entry);
const std::vector<std::string> &Entries();
void Clear();
/* Entries that start with any of the prefixes, in order. */
std::vector<std::string> Filtered(const std::vector<std::string> &prefixes);
}

/* Records the messages sent to windows of the bar's class on this thread,
   from the moment it is made: "WM_MOVE", and the deepest nesting seen. */
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    int MaxDepth() const;
    MessageRecorder(const MessageRecorder &) = delete;
    MessageRecorder &operator=(const MessageRecorder &) = delete;
};

const char *MessageName(UINT uMsg);

#endif
