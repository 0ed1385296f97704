// The program-wide state shared by the two windows.
#include "ProgramState.h"

TLoginForm* LoginForm = nullptr;
TForm1* Form1 = nullptr;
std::unique_ptr<dbServerConnection> DataConnection;
std::unique_ptr<dbServerConnection> FunctionConnection;
std::string ProgramFolder;
NameValueList LoginRecord;
