#include "cli/CliApp.h"

int main(int argc, char** argv) {
  vantrel::cli::CliApp app;
  return app.Main(argc, argv);
}
