import sys

from vossick_report.cli import main

sys.exit(main())
