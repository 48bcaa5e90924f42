// A copy of the application as far as its single-instance guard: prints "running" or "handed over"; a
// running copy stays until the given number of later copies have handed over to it.
#include "Tandalo/ui/SingleInstance.h"

#include <QCoreApplication>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 3) {
        std::cerr << "usage: tandalo-instance-probe <folder> <copies to wait for>\n";
        return 2;
    }
    tandalo::ui::SingleInstance instance(argv[1], platform::Clock::system());
    if (instance.claim() == tandalo::ui::SingleInstance::Role::handedOver) {
        std::cout << "handed over" << std::endl;
        return 0;
    }
    std::cout << "running" << std::endl;
    int waitingFor = std::stoi(argv[2]);
    if (waitingFor == 0) {
        return 0;
    }
    QObject::connect(&instance, &tandalo::ui::SingleInstance::reopenRequested, [&] {
        if (--waitingFor == 0) {
            QCoreApplication::quit();
        }
    });
    return QCoreApplication::exec();
}
