// What ShowHelp asks the help viewer for, recorded while an object of this class lives: the tests
// check that F1 and the Help menu reach the viewer with the built help file and the right topic or
// control popup.
#pragma once
#include <windows.h>
#include <htmlhelp.h>

#include <gtest/gtest.h>

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "format/service/help.h"
#include "tests/support/test_support.h"

namespace testing_support {

class HelpRequestLog {
public:
    HelpRequestLog() {
        Requests().clear();
        WatchHelpRequests(&Record);
    }
    ~HelpRequestLog() { WatchHelpRequests(nullptr); }
    HelpRequestLog(const HelpRequestLog&) = delete;
    HelpRequestLog& operator=(const HelpRequestLog&) = delete;

    // Waits for the count-th request (from 1) and returns it (an empty one when none came).
    HelpRequest Nth(size_t count) const {
        HelpRequest found;
        WaitUntil([&] {
            std::lock_guard<std::mutex> hold(Lock());
            if (Requests().size() < count) return false;
            found = Requests()[count - 1];
            return true;
        });
        return found;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> hold(Lock());
        return Requests().size();
    }

    // The requests for the help file's introduction and for a control's popup.
    static HelpRequest Topic() { return {HelpFilePath() + L"::/intro.html", HH_DISPLAY_TOPIC, 0}; }
    static HelpRequest Popup(UINT id) { return {HelpFilePath() + L"::/Context.txt", HH_DISPLAY_TEXT_POPUP, id}; }

private:
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<HelpRequest>& Requests() {
        static std::vector<HelpRequest> requests;
        return requests;
    }
    static void Record(const HelpRequest& request) {
        std::lock_guard<std::mutex> hold(Lock());
        Requests().push_back(request);
    }
};

}  // namespace testing_support

inline bool operator==(const HelpRequest& a, const HelpRequest& b) {
    return a.target == b.target && a.command == b.command && a.popupId == b.popupId;
}

inline void PrintTo(const HelpRequest& request, std::ostream* out) {
    *out << ::testing::PrintToString(request.target) << " command " << request.command << " popup " << request.popupId;
}
