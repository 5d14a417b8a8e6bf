/* Imports wininet and wintrust the ordinary way. Beside a planted library of
   the same name, the system loads the planted copy: the control that shows the
   planting test can see a load when one happens. */
#include <windows.h>
#include <wininet.h>
#include <wintrust.h>

int main(int argc, char** argv) {
    (void)argv;
    /* Never called; the references keep the imports. */
    if (argc > 1000) {
        InternetOpenW(NULL, 0, NULL, NULL, 0);
        WinVerifyTrust(NULL, NULL, NULL);
    }
    return 0;
}
