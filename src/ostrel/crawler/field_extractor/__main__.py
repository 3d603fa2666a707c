from ostrel.crawler.field_extractor.cli.main import main

# Guarded: a spawned worker imports the main module again as __mp_main__.
if __name__ == "__main__":
    raise SystemExit(main())
