// Asks the application's test channel (TANDALO_TEST_CONTROL) one thing and prints the answer, for tests
// written in shell: tandalo-control <socket> rows | press <id> <button> | quit. Ids are written as rows
// prints them (escaped); a control character given as it is is escaped here, so that it cannot end the
// request early. Exits 1 when the application does not answer, 2 when it answers with an error.
#include "Tandalo/ui/TestControl.h"

#include <iostream>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: tandalo-control <socket> rows | press <id> <button> | quit\n";
        return 2;
    }
    std::string request;
    for (int index = 2; index < argc; ++index) {
        if (index > 2) {
            request += ' ';
        }
        for (const char c : std::string_view(argv[index])) {
            const auto byte = static_cast<unsigned char>(c);
            const bool control = byte < 0x20 || byte == 0x7F;
            request += control ? tandalo::ui::escapedField(std::string_view(&c, 1)) : std::string(1, c);
        }
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
