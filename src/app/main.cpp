// Pellomarquin.exe: builds the application, its two windows and runs the event loop (or,
// with --check, only shows that it loads).
#include <cstring>

#include "AppFonts.h"
#include "HospApplication.h"
#include "ProgramState.h"
#include "RuntimeFolder.h"
#include "TForm1.h"
#include "TLoginForm.h"
#include "WindowWiring.h"

int main(int argc, char** argv) {
  // The update service's check of a new build before it keeps it: the program and every
  // library it needs have loaded.
  if (argc == 2 && std::strcmp(argv[1], "--check") == 0) return 0;
  ProvideRuntimeFolder();
  HospApplication app(argc, argv);
  HospApplication::setApplicationName(QStringLiteral("Pellomarquin"));
  InstallFontSubstitutes();

  TLoginForm login_form;
  LoginForm = &login_form;
  TForm1 case_list;  // hidden until the login succeeds
  Form1 = &case_list;
  ConnectWindows(login_form, case_list);

  login_form.show();
  const int result = app.Run();

  // The connections end with the process, while the libraries below them are still up.
  FunctionConnection.reset();
  DataConnection.reset();
  Form1 = nullptr;
  LoginForm = nullptr;
  return result;
}
