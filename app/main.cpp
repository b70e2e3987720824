// Process entry. The control window arrives with the main-window work; until then the
// program only brings up the application object so the build and packaging paths exist.
#include <QApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QTextStream(stdout) << "Quorvix 1.2.5: the control window is not built yet\n";
    return 0;
}
