"""The commands of the command line, one module each: ``build_parser(prog)``
gives its argument parser, ``run(args, prog)`` runs it and returns the exit
status."""
