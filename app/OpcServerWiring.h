#pragma once
// Connects the in-process OPC server to the program's controller: the tag
// table becomes the server's address space, a client's synchronous write
// goes to the port of its tag, and the controller's pulse, shutdown request
// and connected-count hooks reach the table of live server objects.
//
// Lifetime: the controller must outlive the connection. Call
// DisconnectOpcServer before the controller is destroyed (program exit); it
// discards every server object first, so no client call can reach the tag
// table or the links afterwards. Main thread only.

class MainController;

void ConnectOpcServer(MainController& controller);
void DisconnectOpcServer(MainController& controller);
