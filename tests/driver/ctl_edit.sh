# Shell functions of the program tests that edit a control file in place.

# set_flow_control <file> <value> <section>...: the first value line after each section head
# (its flow control) becomes <value>.
set_flow_control() {
  local file=$1 value=$2; shift 2
  awk -v value="$value" -v names="$*" '
    BEGIN { n = split(names, list, " "); for (i = 1; i <= n; ++i) heads["[" list[i] "]"] = 1 }
    $1 in heads { on = 1; print; next }
    on && NF > 0 { sub(/^[0-9]+/, value); on = 0 }
    { print }' "$file" >"$file.edit" && mv "$file.edit" "$file"
}

# Every sub-model section of the example basin.
SUBMODEL_SECTIONS="radiation_correction precipitation_correction RegionalSuperposition evapotranspiration snow_model
  interception_model SiltingUpModel unsatzon_model SurfaceRoutingModel irrigation groundwater_flow routing_model
  special_output"
