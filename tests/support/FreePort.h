// A TCP port on 127.0.0.1 that nobody listened on a moment ago, for servers under test.
#pragma once

int freeTcpPort();
