// TARSELControlApp: the control window of the attached interfaces.
#include "controlapp/ControlApp.h"

int main()
{
    auto* app = new ControlApp;
    app->main();
    delete app;
    return 0;
}
