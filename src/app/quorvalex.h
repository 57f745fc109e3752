// The daemon's command line and its run.
#pragma once

int quorvalexMain(int argc, char** argv);
