from velmorrow.cli import main

raise SystemExit(main())
