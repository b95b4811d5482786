import sys

from skerrow.cli import main

sys.exit(main())
