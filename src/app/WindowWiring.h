// How the program's two windows talk to each other, wired once where they are built.
#pragma once

class TForm1;
class TLoginForm;

// Closing the case list closes the login window (which ends the program); "Log in as someone
// else" shows the login window again; the unlock checks passwords through the login's check.
// Both windows must outlive each other's signals (they live and go together).
void ConnectWindows(TLoginForm& login, TForm1& case_list);
