from ostrel.crawler.field_extractor.cli.main import main

raise SystemExit(main())
