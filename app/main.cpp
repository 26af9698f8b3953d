// zelk_test: the CAN frame monitor window. Reads no command line, environment or
// configuration of its own (Qt's platform variables are Qt's, PELMO_BUS is the bus library's).
#include <QApplication>

#include "app/termination_signal.h"
#include "app/zelk_test_app.h"

namespace {
CZelk_testApp theApp;
}

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  CZelk_testApp::SetApplicationInfo();
  app::TerminationSignal termination;
  QObject::connect(&termination, &app::TerminationSignal::Raised, [] { theApp.EndSession(); });
  theApp.InitInstance();
  return 0;
}
