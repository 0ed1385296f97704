// How the program's two windows talk to each other, wired once where they are built.
#include "WindowWiring.h"

#include "TForm1.h"
#include "TLoginForm.h"

void ConnectWindows(TLoginForm& login, TForm1& case_list) {
  QObject::connect(&case_list, &TForm1::Closed, &login, &QWidget::close);
  QObject::connect(&case_list, &TForm1::SessionEnded, &login, &TLoginForm::ShowForNextLogin);
  case_list.CheckPassword = [&login](const std::string& email, const std::string& password,
                                     const std::string& sequence) {
    return login.CheckLogin(email, password, sequence);
  };
}
