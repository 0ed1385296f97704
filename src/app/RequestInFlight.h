// One request to a server at a time: while one waits, the windows repaint, move and close,
// but take no input, so that no second request can start under the first.
#pragma once

#include <string>

class dbServerConnection;

// Lives for the wait of one request. The first one shows the busy cursor and holds back
// every click and key meant for the application's windows (message boxes still answer);
// event handlers that start requests return at once while one is Active.
class RequestInFlight {
 public:
  RequestInFlight();
  ~RequestInFlight();
  RequestInFlight(const RequestInFlight&) = delete;
  RequestInFlight& operator=(const RequestInFlight&) = delete;

  static bool Active();

  // After a failed request: when a wait of `connection` ran out of its time limit, tells
  // the user which server did not answer, under `caption`, and returns true.
  static bool ReportTimeout(const dbServerConnection* connection, const std::string& caption);

 private:
  static int depth_;
};
