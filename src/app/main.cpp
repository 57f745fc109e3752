#include "app/quorvalex.h"

int main(int argc, char** argv)
{
    return quorvalexMain(argc, argv);
}
