// The program-wide state: the two windows, the two server connections, the program's folder
// and the physician's record.
#pragma once

#include <memory>
#include <string>

#include "NameValueList.h"
#include "dbServerConnection.h"

class TLoginForm;
class TForm1;

// The login window, the application's main window; owned by main.
extern TLoginForm* LoginForm;
// The case list window; owned by main.
extern TForm1* Form1;
// The data server (TLS); created on the first paint of the login window, never released
// before the process ends. Null until then: it also guards the first-paint sequence.
extern std::unique_ptr<dbServerConnection> DataConnection;
// The function server (plain TCP, or TLS with "Secure=Y"); created right after DataConnection.
extern std::unique_ptr<dbServerConnection> FunctionConnection;
// The folder of the running executable, ending in a path separator.
extern std::string ProgramFolder;
// The items of the data server's answer to the login's "Personnel" query.
extern NameValueList LoginRecord;
