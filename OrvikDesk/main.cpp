// OrvikDesk: the certificate assistant.
#include "app/AssistantApp.h"

int main(int argc, char** argv) { return orvikdesk::CAssistantApp::main(argc, argv); }
