// Records the program's message boxes instead of showing them, for the
// lifetime of the recorder, answering each with a fixed button.
#pragma once

#include <vector>

#include "WinApp.h"

class MessageBoxRecorder {
public:
    explicit MessageBoxRecorder(int answer = IDOK)
        : m_previous(AfxSetMessageBoxHook([this, answer](const MessageBoxRequest& request) {
              m_boxes.push_back(request);
              return answer;
          })) {}
    ~MessageBoxRecorder() { AfxSetMessageBoxHook(std::move(m_previous)); }
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    const std::vector<MessageBoxRequest>& Boxes() const { return m_boxes; }

private:
    std::vector<MessageBoxRequest> m_boxes;
    MessageBoxHook m_previous;
};
