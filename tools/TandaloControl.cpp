// Asks the application's test channel (TANDALO_TEST_CONTROL) one thing and prints the answer, for tests
// written in shell: tandalo-control <socket> rows | press <id> <button> | quit. Exits 1 when the
// application does not answer, 2 when it answers with an error.
#include "Tandalo/ui/TestControl.h"

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: tandalo-control <socket> rows | press <id> <button> | quit\n";
        return 2;
    }
    std::string request = argv[2];
    for (int index = 3; index < argc; ++index) {
        request += ' ';
        request += argv[index];
    }
    const auto answer = tandalo::ui::askApplication(argv[1], request);
    if (!answer) {
        std::cerr << "tandalo-control: the application at " << argv[1] << " does not answer\n";
        return 1;
    }
    for (const auto& line : *answer) {
        std::cout << line << '\n';
    }
    return !answer->empty() && answer->front().starts_with("error: ") ? 2 : 0;
}
