// Counter records of the queue and the workers, and the report formatter.
#pragma once
