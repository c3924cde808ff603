import sys

from divavova.cli import main

sys.exit(main())
