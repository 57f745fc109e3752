#include "app/quorvalex.h"

int quorvalexMain(int, char**)
{
    return 0;
}
