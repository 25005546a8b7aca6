#include "DbTexts.h"

namespace morvane::db {

namespace {

// Sent to SQL Server exactly as written, one line each, leading and trailing blanks included.
const QStringList kDeleteDeviceLines = {
    QStringLiteral("Create Proc DeleteDevice @DeivceID int "),
    QStringLiteral("AS "),
    QStringLiteral("--  删除设备的存储过程  --"),
    QStringLiteral("  declare @FDeviceID int  "),
    QStringLiteral("  set @FDeviceID = @DeivceID  -- 设备编号  "),
    QStringLiteral("  Delete ac_device where (id=@FDeviceID)  -- 删除设备  "),
    QStringLiteral("  Delete ac_makecard where (deviceid=@FDeviceID)  -- 删除用户权限  "),
    QStringLiteral("  Delete ac_doorinfo where (deviceid=@FDeviceID)-- 删除设备的门  "),
    QStringLiteral("  Delete ac_propmordcard where (deviceid=@FDeviceID)-- 删除设备的多卡数据  "),
    QStringLiteral("  Delete ac_propholiday where (deviceid=@FDeviceID)-- 删除设备的节假日数据 "),
    QStringLiteral("  Delete ac_proptimegroup where (deviceid=@FDeviceID)-- 删除设备的时间组   "),
};

const QStringList kDeleteDevicePropertyLines = {
    QStringLiteral("Create Proc DeleteDeviceProperty @DeivceID int "),
    QStringLiteral("AS "),
    QStringLiteral("--  删除设备属性的存储过程  --"),
    QStringLiteral("  declare @FDeviceID int  "),
    QStringLiteral("  set @FDeviceID = @DeivceID  -- 设备编号  "),
    QStringLiteral("  Delete ac_doorinfo where (deviceid=@FDeviceID)-- 删除设备的门  "),
    QStringLiteral("  Delete ac_propmordcard where (deviceid=@FDeviceID)-- 删除设备的多卡数据  "),
    QStringLiteral("  Delete ac_propholiday where (deviceid=@FDeviceID)-- 删除设备的节假日数据 "),
    QStringLiteral("  Delete ac_proptimegroup where (deviceid=@FDeviceID)-- 删除设备的时间组   "),
};

const QStringList kCreateDeviceLines = {
    QStringLiteral("Create Proc CreateDevice "),
    QStringLiteral("AS "),
    QStringLiteral("declare @DeviceID int,@i int  "),
    QStringLiteral("  set @i = 1   "),
    QStringLiteral("  select @DeviceID = max(id) from ac_device  --取设备ID号  "),
    QStringLiteral("  if (cast(@DeviceID as int)<>0)  "),
    QStringLiteral("  begin  "),
    QStringLiteral("     -- 保存多卡数据    "),
    QStringLiteral("    While (@i<9) "),
    QStringLiteral("    begin   "),
    QStringLiteral("      select @i   "),
    QStringLiteral("      Insert into ac_propmordcard(deviceid,groupid,cardcount)values(@DeviceID,@i,0)   "),
    QStringLiteral("      set @i = @i + 1   "),
    QStringLiteral("    end   "),
    QStringLiteral("    --  保存节假日数据   "),
    QStringLiteral("    insert into ac_propholiday(deviceid,holidayid,holidayname,begdatetime,enddatetime) "),
    QStringLiteral(
        "                               select @DeviceID,ID,holidayname,begdatetime,enddatetime from ac_holiday"),
    QStringLiteral("                               where id not in (select holidayid from ac_propholiday where "
                   "deviceid=@DeviceID)"),
    QStringLiteral("    --  保存时间组数据"),
    QStringLiteral("    insert into ac_proptimegroup(deviceid,timegroupid,timegroupname) "),
    QStringLiteral("    select @DeviceID,ID,timegroupname from ac_timegroup "),
    QStringLiteral("    where id not in (select timegroupid from ac_proptimegroup where deviceid=@DeviceID) "),
    QStringLiteral("    --  添加门 "),
    QStringLiteral("    declare @FDeviceType int "),
    QStringLiteral("    select @FDeviceType = devicetype from ac_device where id=@DeviceID "),
    QStringLiteral("    if (@FDeviceType = 0) set @FDeviceType = 1 "),
    QStringLiteral("    else if ((@FDeviceType = 1)or(@FDeviceType = 2)) set @FDeviceType = @FDeviceType * 2 "),
    QStringLiteral("    else if (@FDeviceType=3) set @FDeviceType = 8 "),
    QStringLiteral("    set @i = 1  "),
    QStringLiteral("    while (@FDeviceType>=@i) "),
    QStringLiteral("    begin "),
    QStringLiteral("      insert into ac_doorinfo(doorname,deviceid,dooraddress)"),
    QStringLiteral("                              VALUES('Door'+Cast(@i as varchar(2)),@DeviceID,@i)"),
    QStringLiteral("      set @i=@i+1"),
    QStringLiteral("    end "),
    QStringLiteral("  end "),
};

// The same behaviour in PostgreSQL's dialect. CreateDevice is a function so that it can hand back the
// group numbers that the SQL Server procedure selects before each multi-card insert: one row each, in
// one result, which the client-statement entry point splits into one-row results again.
const QString kPgDeleteDevice = QStringLiteral("create procedure DeleteDevice(DeivceID integer)\n"
                                               "language plpgsql as $$\n"
                                               "begin\n"
                                               "  delete from ac_device where id = DeivceID;\n"
                                               "  delete from ac_makecard where deviceid = DeivceID;\n"
                                               "  delete from ac_doorinfo where deviceid = DeivceID;\n"
                                               "  delete from ac_propmordcard where deviceid = DeivceID;\n"
                                               "  delete from ac_propholiday where deviceid = DeivceID;\n"
                                               "  delete from ac_proptimegroup where deviceid = DeivceID;\n"
                                               "end\n"
                                               "$$");

const QString kPgDeleteDeviceProperty = QStringLiteral("create procedure DeleteDeviceProperty(DeivceID integer)\n"
                                                       "language plpgsql as $$\n"
                                                       "begin\n"
                                                       "  delete from ac_doorinfo where deviceid = DeivceID;\n"
                                                       "  delete from ac_propmordcard where deviceid = DeivceID;\n"
                                                       "  delete from ac_propholiday where deviceid = DeivceID;\n"
                                                       "  delete from ac_proptimegroup where deviceid = DeivceID;\n"
                                                       "end\n"
                                                       "$$");

const QString kPgCreateDevice = QStringLiteral(
    "create function CreateDevice() returns setof integer\n"
    "language plpgsql as $$\n"
    "declare\n"
    "  FDeviceID integer;\n"
    "  FDeviceType integer;\n"
    "  i integer := 1;\n"
    "begin\n"
    "  select max(id) into FDeviceID from ac_device;\n"
    "  if FDeviceID <> 0 then\n"
    "    while i < 9 loop\n"
    "      return next i;\n"
    "      insert into ac_propmordcard (deviceid, groupid, cardcount) values (FDeviceID, i, 0);\n"
    "      i := i + 1;\n"
    "    end loop;\n"
    "    insert into ac_propholiday (deviceid, holidayid, holidayname, begdatetime, enddatetime)\n"
    "      select FDeviceID, ID, holidayname, begdatetime, enddatetime from ac_holiday\n"
    "      where id not in (select holidayid from ac_propholiday where deviceid = FDeviceID);\n"
    "    insert into ac_proptimegroup (deviceid, timegroupid, timegroupname)\n"
    "      select FDeviceID, ID, timegroupname from ac_timegroup\n"
    "      where id not in (select timegroupid from ac_proptimegroup where deviceid = FDeviceID);\n"
    "    select devicetype into FDeviceType from ac_device where id = FDeviceID;\n"
    "    if FDeviceType = 0 then\n"
    "      FDeviceType := 1;\n"
    "    elsif FDeviceType = 1 or FDeviceType = 2 then\n"
    "      FDeviceType := FDeviceType * 2;\n"
    "    elsif FDeviceType = 3 then\n"
    "      FDeviceType := 8;\n"
    "    end if;\n"
    "    i := 1;\n"
    "    while FDeviceType >= i loop\n"
    "      insert into ac_doorinfo (doorname, deviceid, dooraddress) values ('Door' || i, FDeviceID, i);\n"
    "      i := i + 1;\n"
    "    end loop;\n"
    "  end if;\n"
    "  return;\n"
    "end\n"
    "$$");

const QList<ModuleSeed> kModules = {
    {QStringLiteral("部门管理"), QStringLiteral("atn_base_dept")},
    {QStringLiteral("员工管理"), QStringLiteral("atn_base_staff")},
    {QStringLiteral("操作人员管理"), QStringLiteral("atn_sys_a")},
    {QStringLiteral("设备管理"), QStringLiteral("atn_base_controls")},
    {QStringLiteral("设备初始化          "), QStringLiteral("atnDeviceInitialize ")},
    {QStringLiteral("设置设备IP地址  "), QStringLiteral("atnsetdeviceip  ")},
    {QStringLiteral("重载卡片        "), QStringLiteral("afreshdowncard  ")},
    {QStringLiteral("连接设置          "), QStringLiteral("atn_base_setserver")},
    {QStringLiteral("权限管理  "), QStringLiteral("atn_sys_c ")},
    {QStringLiteral("实时监控"), QStringLiteral("atn_scanallcontrol")},
    {QStringLiteral("数据采集"), QStringLiteral("act_contl_readlogdata")},
    {QStringLiteral("节假日管理"), QStringLiteral("atn_contl_feast")},
    {QStringLiteral("时间组管理"), QStringLiteral("atn_contl_timegrp")},
    {QStringLiteral("卡片发行"), QStringLiteral("atn_card_IcOut")},
    {QStringLiteral("卡片注销        "), QStringLiteral("atn_card_revoke ")},
    {QStringLiteral("批量发卡      "), QStringLiteral("atnbatchissue ")},
    {QStringLiteral("卡片挂失   "), QStringLiteral("atnloscard ")},
    {QStringLiteral("卡片解挂失      "), QStringLiteral("atnundolosscard ")},
    {QStringLiteral("补卡/换卡      "), QStringLiteral("atninsteadcard ")},
    {QStringLiteral("基础资料设置"), QStringLiteral("atnBaseinfoset")},
};

} // namespace

const QList<Procedure>& procedureOrder() {
    static const QList<Procedure> order = {Procedure::DeleteDevice, Procedure::DeleteDeviceProperty,
                                           Procedure::CreateDevice};
    return order;
}

QString procedureName(Procedure procedure) {
    switch (procedure) {
    case Procedure::DeleteDevice:
        return QStringLiteral("DeleteDevice");
    case Procedure::DeleteDeviceProperty:
        return QStringLiteral("DeleteDeviceProperty");
    case Procedure::CreateDevice:
        return QStringLiteral("CreateDevice");
    }
    return QString();
}

const QStringList& sqlServerProcedureLines(Procedure procedure) {
    switch (procedure) {
    case Procedure::DeleteDevice:
        return kDeleteDeviceLines;
    case Procedure::DeleteDeviceProperty:
        return kDeleteDevicePropertyLines;
    case Procedure::CreateDevice:
        break;
    }
    return kCreateDeviceLines;
}

const QString& postgresProcedureText(Procedure procedure) {
    switch (procedure) {
    case Procedure::DeleteDevice:
        return kPgDeleteDevice;
    case Procedure::DeleteDeviceProperty:
        return kPgDeleteDeviceProperty;
    case Procedure::CreateDevice:
        break;
    }
    return kPgCreateDevice;
}

const QList<ModuleSeed>& moduleSeeds() {
    return kModules;
}

QList<WordSeed> wordbookSeeds() {
    QList<WordSeed> words;
    const auto add = [&words](int wordId, int itemId, const QString& name) { words.append({wordId, itemId, name}); };
    const QList<WordSeed> before = {
        {1, 0, QStringLiteral("男")},           {1, 1, QStringLiteral("女")},
        {2, 0, QStringLiteral("身份证")},       {2, 1, QStringLiteral("军官证")},
        {2, 2, QStringLiteral("学生证")},       {2, 3, QStringLiteral("其它")},
        {3, 0, QStringLiteral("一拖一门禁")},   {3, 1, QStringLiteral("一拖二门禁")},
        {3, 2, QStringLiteral("一拖四门禁")},   {3, 3, QStringLiteral("一拖八门禁")},
        {4, 1, QStringLiteral("保安卡")},       {4, 2, QStringLiteral("超级卡")},
        {4, 3, QStringLiteral("临时卡")},       {5, 0, QStringLiteral("单卡开门")},
        {5, 1, QStringLiteral("卡加密码开门")}, {6, 0, QStringLiteral("记录满覆盖")},
        {6, 1, QStringLiteral("记录满报警")},   {7, 0, QStringLiteral("TCP/IP通讯")},
        {7, 1, QStringLiteral("Rs485通讯")},    {8, 0, QStringLiteral("在职")},
        {8, 1, QStringLiteral("请假")},         {8, 2, QStringLiteral("离职")},
        {8, 3, QStringLiteral("退休")},         {10, 0, QStringLiteral("已婚")},
        {10, 1, QStringLiteral("未婚")},        {11, 0, QStringLiteral("汉")},
        {12, 0, QStringLiteral("计算机")},      {13, 0, QStringLiteral("广东")},
        {14, 0, QStringLiteral("本科")},
    };
    for (const WordSeed& word : before) {
        words.append(word);
        // Group 4 goes on with eight user cards and eight multi-card groups after the temporary card.
        if (word.wordId == 4 && word.itemId == 3) {
            for (int item = 4; item <= 11; ++item)
                add(4, item, QStringLiteral("用户卡") + QString::number(item - 3));
            for (int item = 12; item <= 19; ++item)
                add(4, item, QStringLiteral("多卡组") + QString::number(item - 11));
        }
    }
    return words;
}

QString timeGroupName(int group) {
    return QStringLiteral("时间组") + QString::number(group);
}

QString operatorPassword() {
    return QStringLiteral("1");
}

} // namespace morvane::db
