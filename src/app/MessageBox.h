// Every report and question to the user passes through here, so that tests can answer them.
#pragma once

#include <functional>
#include <string>

enum class MessageButtons { Ok, OkCancel };
enum class MessageAnswer { Ok, Cancel };

class MessageBox {
 public:
  using Handler = std::function<MessageAnswer(const std::string& text, const std::string& caption,
                                              MessageButtons buttons)>;

  // Shows a modal box with the text, the caption and the buttons, without an icon, and
  // returns the answer; closing the box counts as Cancel. Once the program is closing
  // (the server waits are cancelled) no box appears and the answer is Cancel.
  static MessageAnswer Show(const std::string& text, const std::string& caption,
                            MessageButtons buttons = MessageButtons::Ok);

  // Replaces the real box (tests answer it); an empty handler brings the real box back.
  static void SetHandler(Handler handler);

  // Whether a box is open (or its handler is answering it).
  static bool IsOpen() { return open_ > 0; }
  // Answers every open box with Cancel: a real box closes, and whatever a handler answers
  // for a box that was open meanwhile counts as Cancel.
  static void CancelOpen();

  // The real box: a QMessageBox, application-modal.
  static MessageAnswer ShowModal(const std::string& text, const std::string& caption,
                                 MessageButtons buttons);

 private:
  static Handler handler_;
  static int open_;
  static unsigned cancels_;  // counts the calls of CancelOpen
};
