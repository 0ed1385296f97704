// One request to a server at a time: while one waits, the windows repaint, move and close,
// but take no input, so that no second request can start under the first.
#pragma once

#include <functional>
#include <memory>
#include <string>

class dbServerConnection;

// How a request run by RequestInFlight::Run ended; a failure has been reported by then,
// unless no text was given for a failure other than a time-out.
enum class RequestOutcome { Succeeded, TimedOut, Failed };

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

  // Runs `request`, which returns whether it succeeded, as the request in flight. A failure
  // is reported under `caption`: a time-out of `connection` by naming the server (TimedOut),
  // any other by `failure` unless that is empty (Failed). `connection` is looked at only
  // after the request, which may be what creates it.
  static RequestOutcome Run(const std::unique_ptr<dbServerConnection>& connection,
                            const std::string& caption, const std::function<bool()>& request,
                            const std::string& failure = {});

  // After a failed request: when a wait of `connection` ran out of its time limit, tells
  // the user which server did not answer, under `caption`, and returns true.
  static bool ReportTimeout(const dbServerConnection* connection, const std::string& caption);

 private:
  static int depth_;
};
