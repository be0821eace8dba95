// The stand-in for the child programs the Windows tests start (CorvBoot and
// the like), where the Linux tests start shell scripts. A test copies it under
// the name it needs and writes its steps beside the copy, in the file of the
// same name with ".do" for ".exe"; one step a line, done in order:
//   args FILE        writes its arguments (as it got them) to FILE, one a line
//   exit-if FILE N   ends with status N when FILE is there
//   exit N           ends with status N
//   terminate        is ended from outside (as a console's Ctrl+C or a task
//                    manager ends it): status STATUS_CONTROL_C_EXIT
// After the last step it ends with status 0; with no steps file, with 125.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string OwnPath() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, n < MAX_PATH ? n : 0);
}

std::string StepsFile() {
  std::string path = OwnPath();
  const size_t dot = path.rfind('.');
  if (dot != std::string::npos && path.find('\\', dot) == std::string::npos) path.resize(dot);
  return path + ".do";
}

// The rest of the line after the step's name, without the blanks around it.
std::string Operand(std::istringstream& line) {
  std::string rest;
  std::getline(line >> std::ws, rest);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\r')) rest.pop_back();
  return rest;
}

}  // namespace

int main(int argc, char** argv) {
  std::ifstream steps(StepsFile(), std::ios::binary);
  if (!steps) return 125;
  for (std::string text; std::getline(steps, text);) {
    std::istringstream line(text);
    std::string step;
    line >> step;
    if (step == "args") {
      std::ofstream out(Operand(line), std::ios::binary | std::ios::trunc);
      for (int i = 1; i < argc; ++i) out << argv[i] << '\n';
    } else if (step == "exit-if") {
      // The status is the last word; the file name before it may hold blanks.
      std::string rest = Operand(line);
      const size_t blank = rest.rfind(' ');
      if (blank == std::string::npos) return 126;
      const std::string file = rest.substr(0, blank);
      if (GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES) return std::stoi(rest.substr(blank + 1));
    } else if (step == "exit") {
      return std::stoi(Operand(line));
    } else if (step == "terminate") {
      TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    } else if (!step.empty()) {
      std::fprintf(stderr, "stand-in: unknown step %s\n", step.c_str());
      return 126;
    }
  }
  return 0;
}
