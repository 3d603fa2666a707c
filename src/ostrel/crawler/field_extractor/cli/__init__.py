"""The batch command line, ``ostrel-extract``, by role.

``main`` parses the arguments and runs one of the ``commands`` (``extract``,
``check``, ``try``, a module each). ``extract`` reads its pages from
``sources``, extracts them in the ordered worker ``pool``, writes the
records through ``outputs``, shows ``progress``, and with ``--resume`` goes
on from what ``resume`` finds in an existing output; ``signals`` stops it
cleanly. ``check`` runs ``rules_check``, ``try`` runs ``explain``.
"""
