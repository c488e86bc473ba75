"""The supported game and its console, as data: the lowest room of the package.

``cartridge`` (is this file the supported cartridge image?), ``states``
(start-state files and catalogs), ``actions`` (controller bytes and action
sets), ``fields`` (the game values the engine reports and the arrays it
writes), ``progress`` (levels, level ends and deaths read from RAM) and
``lane_states`` (the checked bytes of a saved lane). These modules import
only the extension and each other.
"""
